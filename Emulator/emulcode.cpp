/* Compiled clause objects: allocation and the per-definition chain. */
#include "emulcode.h"

#include <cstring>

#include "memman.h"
#include "qload.h"
#include "relocate.h"
#include "atoms.h"
#include "termdefs.h"
#include "wam.h"

emul_info *qx_alloc_emul_info(uint32_t objsize)
{
  if (objsize < sizeof(emul_info) || objsize > QX_EMUL_INFO_MAX) return nullptr;
  auto *clause = (emul_info *)qx_checkalloc(objsize, QX_SPACE_PROGRAM | QX_MAY_FAIL);
  if (!clause) return nullptr;
  std::memset(clause, 0, objsize);
  clause->objsize = objsize;
  clause->elsecode = failcode;
  clause->filename = atom_nil;
  return clause;
}

void qx_free_emul_info(emul_info *clause)
{
  if (!clause) return;
  qx_qload_forget(clause);
  qx_checkdealloc(clause, clause->objsize, QX_SPACE_PROGRAM);
}

static bool holds_compiled_code(const definition *def)
{
  return def->predtyp <= ENTER_PROFILEDCODE_INDEXED;
}

static void mark_code_operand(void *, uint32_t key, void *, int kind)
{
  if (kind == QX_REL_ATOM) qx_agc_mark_word(key);
}

void qx_mark_code_atoms(emul_info *clause)
{
  for (; clause; clause = clause->next) {
    qx_agc_mark_word(clause->filename);
    if (scan_code(clause, mark_code_operand)) continue;
    const char *code = (const char *)clause->emulcode;
    size_t bytes = clause->objsize > sizeof(emul_info) ? clause->objsize - sizeof(emul_info) : 0;
    for (size_t at = 0; at + sizeof(TAGGED) <= bytes; at += 2) {
      TAGGED word;
      std::memcpy(&word, code + at, sizeof word);
      qx_agc_mark_word(word);
    }
  }
}

emul_info *qx_first_compiled_clause(const definition *def)
{
  return holds_compiled_code(def) ? (emul_info *)def->code.code : nullptr;
}

void insert_compactcode(definition *def, emul_info *clause, int ix, TAGGED key)
{
  (void)key; /* no index is built over code that never runs */
  qx_qload_claim(clause);
  clause->ix = (uint32_t)ix & 0x1FF;
  clause->next = nullptr;
  emul_info **tail = (emul_info **)&def->code.code;
  while (*tail) tail = &(*tail)->next;
  *tail = clause;
  def->properties.foreign_code = 1;
  for (definition *imp = def->importers; imp; imp = imp->next_importer) imp->code = def->code;
}

void qx_free_compiled_clauses(definition *def)
{
  if (!holds_compiled_code(def) || def->imported_from) return;
  emul_info *clause = (emul_info *)def->code.code;
  if (!clause) return;
  def->code.code = nullptr;
  while (clause) {
    emul_info *next = clause->next;
    qx_free_emul_info(clause);
    clause = next;
  }
  for (definition *imp = def->importers; imp; imp = imp->next_importer) imp->code.code = nullptr;
}
