/* Engine information and native memory built-ins: the version check in a child, the type table,
 * raw blocks, the digest against known MD5 values, code addresses mapped back to compiled
 * clause objects, and the disassembler and predicate printer on the user output pipe. */
#include "emulcode.h"
#include "system_fixture.h"

namespace {

class BiEngine : public SystemTest {
protected:
  /* A definition of compiled clause objects of the sizes given, in module user. */
  definition *compiled(const char *name, int arity, std::initializer_list<uint32_t> sizes,
                       std::initializer_list<const char *> files)
  {
    definition *d = insert_definition(qx_eg.user_module, at(name), (uint32_t)arity, 1);
    update_exports(d, ENTER_COMPACTCODE);
    auto file = files.begin();
    for (uint32_t size : sizes) {
      emul_info *c = qx_alloc_emul_info(size);
      c->filename = *file[0] ? at(*file) : atom_nil;
      ++file;
      for (uint32_t i = 0; i < (size - 16) / 2; i++) c->emulcode[i] = (uint16_t)(i * 8 + 5);
      insert_compactcode(d, c, 0, 0);
    }
    return d;
  }
  static emul_info *clause(definition *d, int n)
  {
    emul_info *c = qx_first_compiled_clause(d);
    while (n-- > 0) c = c->next;
    return c;
  }
  std::string pc(const void *address, int offset)
  {
    return result("'$pc_info'(" + std::to_string((int32_t)((uintptr_t)address + offset)) +
                      ", M, N, A, I, X)",
                  "MNAIX");
  }
  /* What the built-ins printed on user_output. */
  std::string printed()
  {
    QX_flush_output(qx_eg.stream_user_output, 0);
    return drain(peer[1]);
  }
};

}  // namespace

TEST_F(BiEngine, PlatformVersionAndTheTypeTable)
{
  EXPECT_EQ(result("'$platform_name'(R)"), "x86-linux-glibc2.7");
  EXPECT_EQ(result("'$current_version'(R)"), "orvalis4.1_x86-linux-glibc2.7");
  EXPECT_EQ(result("'$running_on_valgrind'(R)"), "0");
  EXPECT_EQ(run("'$version'(1040102)"), 1);
  EXPECT_EQ(result("alignments:endianness(R)"), "little_endian");
  EXPECT_EQ(result("alignments:pointer_alignment(S, A), R = S/A"), "/(4,4)");
  struct {
    const char *type, *expected;
  } rows[] = {
      {"integer", "4 4"},     {"integer_32", "4 4"},       {"unsigned", "4 4"},
      {"unsigned_32", "4 4"}, {"address", "4 4"},          {"atom", "4 4"},
      {"string", "4 4"},      {"float_32", "4 4"},         {"float", "8 4"},
      {"integer_16", "2 2"},  {"unsigned_16", "2 2"},      {"integer_8", "1 1"},
      {"unsigned_8", "1 1"},  {"opaque", "opaque opaque"}, {"double", "<failed>"},
      {"_", "<failed>"},      {"f(integer)", "<failed>"},
  };
  for (const auto &r : rows)
    EXPECT_EQ(result(std::string("alignments:primitive_type_size(") + r.type + ", S, A)", "SA"),
              r.expected)
        << r.type;
}

TEST(BiEngineVersion, AnotherVersionPrintsTheMessageAndExitsWithOne)
{
  for (const char *number : {"1040101", "-3"}) {
    forked_child child = run_forked([&] {
      SystemTest e(true);
      e.run(std::string("'$put_code'(user_error, 0'>, 0), '$version'(") + number + ")");
      return std::string("returned");
    });
    EXPECT_TRUE(child.exited(1)) << child.status;
    EXPECT_EQ(child.report, "");
    EXPECT_EQ(child.err, std::string(">Wrong version number in saved state.  Found ") + number +
                             ", expected 1040102.\n");
  }
}

TEST_F(BiEngine, CallocZeroesAndRefusesProductsBeyond32Bits)
{
  size_t before = qx_space_in_use(QX_SPACE_FOREIGN);
  ASSERT_EQ(run("structs:calloc(5, 7, A)"), 1);
  int64_t address = std::stoll(v("A"));
  const unsigned char *block = (const unsigned char *)(uintptr_t)(uint32_t)address;
  for (int i = 0; i < 35; i++) EXPECT_EQ(block[i], 0) << i;
  EXPECT_GT(qx_space_in_use(QX_SPACE_FOREIGN), before);
  EXPECT_EQ(run("structs:free(" + v("A") + ")"), 1);
  EXPECT_EQ(qx_space_in_use(QX_SPACE_FOREIGN), before);
  for (const char *goal :
       {"structs:calloc(65536, 65536, _)", "structs:calloc(65537, 65536, _)",
        "structs:calloc(4294967295, 2, _)", "structs:calloc(-1, 1, _)", "structs:calloc(x, 1, _)",
        "structs:calloc(1, _, _)", "structs:free(foo)", "structs:free(_)", "structs:free(1.0)"})
    EXPECT_EQ(run(goal), 0) << goal;
  EXPECT_EQ(qx_space_in_use(QX_SPACE_FOREIGN), before) << "nothing was allocated";
  ASSERT_EQ(run("structs:calloc(0, 9, A), structs:free(A)"), 1);
  /* A product that fits but cannot be had is a memory fault. */
  EXPECT_EQ(run("structs:calloc(65537, 65535, _)"), -1);
  EXPECT_EQ(exception().find("error(resource_error(memory)"), 0u);
  EXPECT_EQ(qx_space_in_use(QX_SPACE_FOREIGN), before);
}

TEST_F(BiEngine, MessageDigestAgainstKnownMd5Values)
{
  struct {
    const char *codes, *digest, *hash;
  } cases[] = {
      {"[]", "[212,29,140,217,143,0,178,4,233,128,9,152,236,248,66,126]", "1583707451"},
      {"[0]", "[147,184,133,173,254,13,160,137,205,246,52,144,79,213,159,113]", "4019621573"},
      {"[256]", "[147,184,133,173,254,13,160,137,205,246,52,144,79,213,159,113]", "4019621573"},
      {"\"abc\"", "[144,1,80,152,60,210,79,176,214,150,63,125,40,225,127,114]", "1386503975"},
      /* The walk stops at an unbound tail. */
      {"[97|_]", "[12,193,117,185,192,241,182,168,49,195,153,226,105,119,38,97]", "2491710610"},
  };
  for (const auto &c : cases)
    EXPECT_EQ(result(std::string("'$message_digest'(") + c.codes + ", D, H)", "DH"),
              std::string(c.digest) + " " + c.hash)
        << c.codes;
  EXPECT_EQ(run("'$message_digest'([0], _, H), integer(H), H > 2147483647"), 1);
  EXPECT_EQ(run("'$message_digest'([], [212|_], _)"), 0) << "Digest must be unbound";
}

TEST_F(BiEngine, PcInfoMapsAddressesInsideCompiledClauses)
{
  definition *d = compiled("comp", 2, {40, 64, 32, 48}, {"a.pl", "", "a.pl", "b.pl"});
  d->filename = at("def.pl");
  std::string a0 = pc(clause(d, 0), 0), a1 = pc(clause(d, 1), 63), a2 = pc(clause(d, 2), 20);
  EXPECT_EQ(a0, "user comp 2 a.pl 1");
  /* No source information: the definition's file, and every clause counts. */
  EXPECT_EQ(a1, "user comp 2 def.pl 2");
  EXPECT_EQ(a2, "user comp 2 a.pl 2");
  EXPECT_EQ(pc(clause(d, 3), 47), "user comp 2 b.pl 1");
  EXPECT_EQ(pc(clause(d, 3), 48), "<failed>") << "one past the object";
  EXPECT_EQ(result("'$pc_info'(foo, M, N, A, I, X)"), "<failed>");
  /* An importer shares the chain but is not where the code is defined. */
  definition *imp = insert_definition(find_module(at("other"), 1), at("comp"), 2, 1);
  import_predicate(d, d->module, imp->module);
  EXPECT_EQ(pc(clause(d, 2), 4), "user comp 2 a.pl 2");
  undefine_predicate(imp); /* before the modules go: their teardown frees importers first */
  undefine_predicate(d);
  /* Objects of no definition. */
  emul_info *loose = qx_alloc_emul_info(24), *named = qx_alloc_emul_info(24);
  qx_add_code_object(loose, atom_nil, atom_nil, -1);
  qx_add_code_object(named, at("m"), at("n"), 3);
  EXPECT_EQ(pc(loose, 8), "$unknown $unknown -1 [] 1");
  EXPECT_EQ(pc(named, 23), "m n 3 [] 2");
}

TEST_F(BiEngine, DisassemblerAndPredicatePrinter)
{
  definition *d = compiled("comp", 1, {20, 22}, {"", ""});
  p.consult("inter(1). inter(X) :- X > 1, inter(0). ");
  std::string a0 = std::to_string((int32_t)(uintptr_t)clause(d, 0));
  std::string a1 = std::to_string((int32_t)(uintptr_t)clause(d, 1));
  EXPECT_EQ(result("'$disassemble_predicate'(comp, user, R)"),
            "[code(" + a0 + ",[5,13]),code(" + a1 + ",[5,13,21])]");
  EXPECT_EQ(result("'$disassemble_predicate'(inter, user, R)"),
            "[inter(1),:-(inter(_),,(>(_,1),inter(0)))]");
  EXPECT_EQ(result("'$disassemble_predicate'(inter, nomodule, R)"), "<failed>");
  EXPECT_EQ(result("'$disassemble_predicate'(nopred, user, R)"), "<failed>");
  EXPECT_EQ(run("'$disassemble'(" + a1 + ")"), 1);
  char line[64];
  std::string expected = "user:comp/1 clause 2\n";
  for (int i = 0; i < 3; i++) {
    std::snprintf(line, sizeof line, "  %#x: %04x  insn %d\n",
                  (unsigned)((uintptr_t)clause(d, 1) + 16 + 2 * i), 8 * i + 5, i);
    expected += line;
  }
  EXPECT_EQ(printed(), expected);
  EXPECT_EQ(run("'$disassemble'(8)"), 1);
  EXPECT_EQ(printed(), "0x8: no code\n");
  ASSERT_EQ(run("'$predinfo'(comp, user), '$predinfo'(inter, user)"), 1);
  EXPECT_EQ(printed(),
            "user:comp/1\n  kind: compiled (0)\n  properties: foreign_code\n  clauses: 2\n"
            "user:inter/1\n  kind: interpreted (6)\n  properties:\n  clauses: 2\n");
  EXPECT_EQ(run("'$predinfo'(none, user)"), 0);
}
