/* A small assembler for indexical code, for tests: opcode names, labels and literal references in,
 * the list format of clpfd:'$fd_install'/5 out (nothing in the product compiles range expressions).
 *
 * Source: whitespace-separated tokens.
 *   name      an opcode by its name below (or a plain integer: that word as it is)
 *   L:        defines label L at the next word;  @L  the label's offset, l(N)
 *   #N        the tagged integer N, a(N)
 *   t:N d:N h:N   literal N unchanged, as an FD set, as a hash table
 *   f(...)    a list element written as it is (for lists the product must refuse)
 * Literals are Prolog texts: a constant (7, inf, []), d([[Min|Max], ...]) or h([K-V, ...]).
 *
 *   fd_ix_asm::indexical ix;
 *   ix.pruned = 0;
 *   ix.link(1, 1);                       // argument 1, dom changes
 *   ix.code = "dom1 lit d:0 intersect prune_set 0";
 *   ix.literals = {"d([[0|3],[6|9]])"};
 *   fd_ix_asm::install("p/2", "user", 1, {ix})   // the goal text
 */
#ifndef QX_FD_IX_ASM_H
#define QX_FD_IX_ASM_H

#include <cctype>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace fd_ix_asm {

/* Names in opcode order (0 to 86). */
inline const char *const opcode_names[] = {"singleton",
                                           "universe",
                                           "upto",
                                           "from",
                                           "range",
                                           "shift",
                                           "unshift",
                                           "setmod",
                                           "not_value",
                                           "complement",
                                           "pair",
                                           "add_value",
                                           "add_to",
                                           "union",
                                           "if_equal",
                                           "if_in",
                                           "if_contains",
                                           "intersect",
                                           "local",
                                           "plus",
                                           "minus",
                                           "times",
                                           "div_floor",
                                           "div_ceil",
                                           "mod",
                                           "amin",
                                           "amin0",
                                           "amin1",
                                           "amin2",
                                           "dom",
                                           "dom0",
                                           "dom1",
                                           "dom2",
                                           "min",
                                           "min0",
                                           "min1",
                                           "min2",
                                           "max",
                                           "max0",
                                           "max1",
                                           "max2",
                                           "lit",
                                           "times_arg",
                                           "div_floor_arg",
                                           "div_ceil_arg",
                                           "done",
                                           "prune_le",
                                           "prune_ge",
                                           "prune_range",
                                           "prune_remove",
                                           "prune_remove_set",
                                           "prune_fix",
                                           "prune_set",
                                           "entailed",
                                           "check_le",
                                           "check_ge",
                                           "check_range",
                                           "check_ne",
                                           "check_not_in",
                                           "check_eq",
                                           "check_in",
                                           "jump_nonempty",
                                           "jump_empty",
                                           "union_start",
                                           "union_step",
                                           "size",
                                           "size0",
                                           "size1",
                                           "size2",
                                           "case",
                                           "return",
                                           "attr1",
                                           "fail",
                                           "reflect",
                                           "set_plus",
                                           "set_minus",
                                           "if_not_equal",
                                           "if_not_in",
                                           "remove_value",
                                           "subtract",
                                           "times_local",
                                           "div_floor_local",
                                           "div_ceil_local",
                                           "prune_plus",
                                           "prune_minus",
                                           "rem",
                                           "setrem"};
static_assert(sizeof opcode_names / sizeof opcode_names[0] == 87, "one name per opcode");

inline int opcode(const std::string &name)
{
  for (int i = 0; i < 87; i++)
    if (name == opcode_names[i]) return i;
  return -1;
}

/* The code list ("[...]") and its word count from assembler source. */
inline std::string assemble(const std::string &source, int *words)
{
  std::vector<std::string> tokens;
  for (size_t i = 0; i < source.size();) {
    if (std::isspace((unsigned char)source[i])) {
      i++;
      continue;
    }
    size_t j = i;
    while (j < source.size() && !std::isspace((unsigned char)source[j])) j++;
    tokens.push_back(source.substr(i, j - i));
    i = j;
  }
  std::map<std::string, int> labels;
  int at = 0;
  for (const std::string &t : tokens) {
    if (t.back() == ':' && t.find(':') == t.size() - 1)
      labels[t.substr(0, t.size() - 1)] = at;
    else
      at++;
  }
  std::string out = "[";
  *words = 0;
  for (const std::string &t : tokens) {
    if (t.back() == ':' && t.find(':') == t.size() - 1) continue;
    std::string word;
    if (t[0] == '@') {
      if (!labels.count(t.substr(1))) throw std::invalid_argument("no label " + t);
      word = "l(" + std::to_string(labels[t.substr(1)]) + ")";
    } else if (t[0] == '#') {
      word = "a(" + t.substr(1) + ")";
    } else if (t.size() > 2 && t[1] == ':' && (t[0] == 't' || t[0] == 'd' || t[0] == 'h')) {
      word = std::string(1, t[0]) + "(" + t.substr(2) + ")";
    } else if (t.find('(') != std::string::npos) {
      word = t;
    } else if (opcode(t) >= 0) {
      word = std::to_string(opcode(t));
    } else if (std::isdigit((unsigned char)t[0]) || t[0] == '-') {
      word = t;
    } else {
      throw std::invalid_argument("unknown token " + t);
    }
    out += (*words ? "," : "") + word;
    ++*words;
  }
  return out + "]";
}

struct indexical {
  std::vector<std::pair<int, int>> linkage; /* (argument, mask) */
  int pruned = 0;
  std::string code;                  /* assembler source */
  std::vector<std::string> literals; /* Prolog texts */
  /* Lengths written instead of the true ones (for refused input); -1 keeps the true one. */
  int linkage_length = -1, code_length = -1, literals_length = -1;

  indexical &link(int arg, int mask)
  {
    linkage.emplace_back(arg, mask);
    return *this;
  }

  /* ix(Linkage, LinkageLength, Pruned, Code, CodeLength, Literals, LiteralsLength) */
  std::string term() const
  {
    std::string l = "[";
    for (size_t i = 0; i < linkage.size(); i++)
      l += (i ? "," : "") + std::to_string(linkage[i].first) + "-" +
           std::to_string(linkage[i].second);
    l += "]";
    int words;
    std::string c = assemble(code, &words);
    std::string lits = "[";
    for (size_t i = 0; i < literals.size(); i++) lits += (i ? "," : "") + literals[i];
    lits += "]";
    auto len = [](int given, size_t real) {
      return std::to_string(given >= 0 ? given : (int)real);
    };
    return "ix(" + l + "," + len(linkage_length, linkage.size()) + "," + std::to_string(pruned) +
           "," + c + "," + len(code_length, (size_t)words) + "," + lits + "," +
           len(literals_length, literals.size()) + ")";
  }
};

/* The goal clpfd:'$fd_install'(Spec, Module, Chain, Count, [...]). */
inline std::string install(const std::string &spec, const std::string &module, int chain,
                           const std::vector<indexical> &chain_records, int count = -1)
{
  std::string list = "[";
  for (size_t i = 0; i < chain_records.size(); i++)
    list += (i ? "," : "") + chain_records[i].term();
  list += "]";
  return "clpfd:'$fd_install'(" + spec + "," + module + "," + std::to_string(chain) + "," +
         std::to_string(count >= 0 ? count : (int)chain_records.size()) + "," + list + ")";
}

}  // namespace fd_ix_asm

#endif
