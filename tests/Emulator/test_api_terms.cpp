/* The term API: construction and inspection at the edges of each conversion, every error number,
 * the room a constructor keeps, unification that fails after waking an attributed variable, and
 * bad input. */
#include <cinttypes>
#include <cstring>
#include <functional>

#include "api_fixture.h"
#include "atoms.h"
#include "unify.h"

namespace {

class TermApi : public ApiTest {
protected:
  /* "e<errno>" after a failed call, else the term of t (with its kind for integers). */
  static std::string result(int ok, QX_term_ref t)
  {
    if (!ok) return "e" + std::to_string(QX_get_errno());
    TAGGED x = deref(qx_ref_term(t));
    std::string kind = IsSmall(x)    ? "small "
                       : IsBignum(x) ? "big" + std::to_string(BignumLimbs(StrFunctor(x))) + " "
                                     : "";
    return kind + show(t);
  }
  static std::string integer(QX_term_ref t)
  {
    long v = 0;
    return QX_get_integer(t, &v) ? std::to_string(v) : "e" + std::to_string(QX_get_errno());
  }
  static std::string hex(const unsigned char *bytes, size_t n)
  {
    std::string s;
    char b[4];
    for (size_t i = 0; i < n; i++) {
      std::snprintf(b, sizeof b, "%02x", bytes[i]);
      s += b;
    }
    return s;
  }
  /* get_integer_bytes into a buffer of size bytes: "e<errno> size" or "<size> <bytes>". */
  static std::string bytes_of(QX_term_ref t, size_t size, int native)
  {
    unsigned char buf[16];
    std::memset(buf, 0xAA, sizeof buf);
    size_t n = size;
    int ok = QX_get_integer_bytes(t, buf, &n, native);
    if (!ok) return "e" + std::to_string(QX_get_errno()) + " " + std::to_string(n);
    return std::to_string(n) + " " + hex(buf, size);
  }
  static QX_atom atom(const char *name) { return init_atom_check(name, 0); }
  /* A call's answer followed by the error number it left. */
  static std::string with_errno(long answer)
  {
    return std::to_string(answer) + " e" + std::to_string(QX_get_errno());
  }
  QX_term_ref fresh() { return QX_new_term_ref(); }
};

}  // namespace

TEST_F(TermApi, ConstructionAndInspectionTable)
{
  struct Row {
    const char *what;
    std::function<std::string()> run;
    const char *expect;
  };
  auto put_int = [this](long v) {
    QX_term_ref t = fresh();
    int ok = QX_put_integer(t, v);
    return result(ok, t) + " " + integer(t);
  };
  auto get_int_of = [this](double d) {
    QX_term_ref t = fresh();
    QX_put_float(t, d);
    return integer(t);
  };
  auto put_bytes = [this](std::vector<unsigned char> b, int native) {
    QX_term_ref t = fresh();
    int ok = QX_put_integer_bytes(t, b.data(), b.size(), native);
    return result(ok, t);
  };
  auto list_bytes = [this](const char *list, size_t n) {
    QX_term_ref t = ref(list), tail = fresh();
    unsigned char buf[8] = {0};
    size_t count = 99;
    int ok = QX_get_list_n_bytes(t, tail, n, &count, buf);
    return (ok ? "" : "e" + std::to_string(QX_get_errno()) + " ") + std::to_string(count) + " " +
           hex(buf, count) + (ok ? " " + show(tail) : "");
  };
  auto functor = [this](QX_atom name, int arity) {
    QX_term_ref t = fresh();
    return result(QX_put_functor(t, name, arity), t);
  };
  auto get_functor = [this](const char *term) {
    QX_atom name = 0;
    int arity = -1;
    if (!QX_get_functor(ref(term), &name, &arity)) return "e" + std::to_string(QX_get_errno());
    return std::string(atom_name(name)) + "/" + std::to_string(arity);
  };
  auto arg = [this](int i, const char *term) {
    QX_term_ref a = fresh();
    return result(QX_get_arg(i, ref(term), a), a);
  };
  auto number = [this](const char *text) {
    QX_term_ref t = fresh();
    return result(QX_put_number_codes(t, text), t);
  };
  auto string = [this](const char *text) {
    QX_term_ref t = fresh();
    return result(QX_put_string(t, text), t);
  };
  auto type_of = [this](const char *term) {
    QX_term_ref t = ref(term);
    return std::to_string(QX_term_type(t)) + std::to_string(QX_is_compound(t)) +
           std::to_string(QX_is_atomic(t)) + std::to_string(QX_is_number(t)) +
           std::to_string(QX_is_list(t));
  };
  auto text_of = [this](int (*get)(QX_term_ref, const char **), const char *term) {
    const char *text = nullptr;
    if (!get(ref(term), &text)) return "e" + std::to_string(QX_get_errno());
    return std::string(text);
  };
  auto compare = [this](const char *a, const char *b) {
    return std::to_string(QX_compare(ref(a), ref(b)));
  };
  std::vector<unsigned char> minus_one8(8, 0xFF);
  std::vector<unsigned char> two_pow_64(9, 0);
  two_pow_64[8] = 0x01;
  int16_t i16 = -2;
  int32_t i32 = INT32_MIN;
  int64_t i64 = INT64_MIN;
  auto native_bytes = [](const void *p, size_t n) {
    return std::vector<unsigned char>((const unsigned char *)p, (const unsigned char *)p + n);
  };

  const Row rows[] = {
      {"largest small", [&] { return put_int(268435455); }, "small 268435455 268435455"},
      {"one past it", [&] { return put_int(268435456); }, "big1 268435456 268435456"},
      {"smallest small", [&] { return put_int(-268435456); }, "small -268435456 -268435456"},
      {"one below it", [&] { return put_int(-268435457); }, "big1 -268435457 -268435457"},
      {"32-bit minimum", [&] { return put_int(INT32_MIN); }, "big1 -2147483648 -2147483648"},
      {"float 3.7", [&] { return get_int_of(3.7); }, "3"},
      {"float -3.7", [&] { return get_int_of(-3.7); }, "-3"},
      {"float 5.0e9", [&] { return get_int_of(5.0e9); }, "e11"},
      {"float 3000000000.5: low 32 bits", [&] { return get_int_of(3000000000.5); }, "-1294967296"},
      {"float 4294967296.0 is out", [&] { return get_int_of(4294967296.0); }, "e11"},
      {"float -4294967296.5 is in", [&] { return get_int_of(-4294967296.5); }, "0"},
      {"float -4294967297.0 is out", [&] { return get_int_of(-4294967297.0); }, "e11"},
      {"two limbs are no long", [&] { return integer(ref("4294967296")); }, "e11"},
      {"atom is no integer", [&] { return integer(ref("a")); }, "e11"},
      {"get_float of a bignum",
       [&] {
         double d = 0;
         return QX_get_float(ref("1099511627776"), &d) ? std::to_string(d) : "e";
       },
       "1099511627776.000000"},
      {"get_float of an atom",
       [&] {
         double d = 0;
         return with_errno(QX_get_float(ref("a"), &d));
       },
       "0 e11"},
      {"functor arity 256", [&] { return functor(atom("f"), 256); }, "e12"},
      {"functor arity -1", [&] { return functor(atom("f"), -1); }, "e12"},
      {"functor name a number", [&] { return functor(MakeSmall(3), 1); }, "e11"},
      {"functor name a functor word", [&] { return functor(MakeFunctor(atom("f"), 1), 1); }, "e11"},
      {"'.'/2 is a list cell",
       [&] {
         QX_term_ref t = fresh();
         QX_put_functor(t, atom_dot, 2);
         return std::to_string(QX_is_list(t)) + " " + show(t);
       },
       "1 [_|_]"},
      {"arity 0 is the atom", [&] { return functor(atom("f"), 0); }, "f"},
      {"cons_functor",
       [&] {
         QX_term_ref t = fresh();
         return result(QX_cons_functor(t, atom("f"), 2, ref("a"), ref("g(X)")), t);
       },
       "f(a,g(_))"},
      {"cons_functor '.'/2",
       [&] {
         QX_term_ref t = fresh();
         return result(QX_cons_functor(t, atom_dot, 2, ref("a"), ref("b")), t);
       },
       "[a|b]"},
      {"cons_functor arity 256",
       [&] { return result(QX_cons_functor(fresh(), atom("f"), 256), 0); }, "e12"},
      {"cons_list",
       [&] {
         QX_term_ref t = fresh();
         return result(QX_cons_list(t, ref("1"), ref("[]")), t);
       },
       "[1]"},
      {"eight bytes of -1", [&] { return put_bytes(minus_one8, 0); }, "small -1"},
      {"nine bytes, top 0x01",
       [&] {
         QX_term_ref t = fresh();
         QX_put_integer_bytes(t, two_pow_64.data(), 9, 0);
         return result(1, t).substr(0, 5) + bytes_of(t, 9, 0);
       },
       "big3 9 000000000000000001"},
      {"no bytes", [&] { return put_bytes({}, 0); }, "small 0"},
      {"native 2", [&] { return put_bytes(native_bytes(&i16, 2), 1); }, "small -2"},
      {"native 4", [&] { return put_bytes(native_bytes(&i32, 4), 1); }, "big1 -2147483648"},
      {"native 8", [&] { return put_bytes(native_bytes(&i64, 8), 1); },
       "big2 -9223372036854775808"},
      {"native 3", [&] { return put_bytes(native_bytes(&i32, 3), 1); }, "e2"},
      {"300 into one byte", [&] { return bytes_of(ref("300"), 1, 0); }, "e16 2"},
      {"300 into four", [&] { return bytes_of(ref("300"), 4, 0); }, "2 2c010000"},
      {"-300 native 2", [&] { return bytes_of(ref("-300"), 2, 1); }, "2 d4fe"},
      {"-300 native 4", [&] { return bytes_of(ref("-300"), 4, 1); }, "2 d4feffff"},
      {"-300 native 8", [&] { return bytes_of(ref("-300"), 8, 1); }, "2 d4feffffffffffff"},
      {"-300 native 3", [&] { return bytes_of(ref("-300"), 3, 1); }, "e11 3"},
      {"2^40 native 8", [&] { return bytes_of(ref("1099511627776"), 8, 1); }, "6 0000000000010000"},
      {"2^40 into 4", [&] { return bytes_of(ref("1099511627776"), 4, 0); }, "e16 6"},
      {"bytes of a float", [&] { return bytes_of(ref("1.5"), 8, 0); }, "e11 8"},
      {"list bytes [1,2,300]", [&] { return list_bytes("[1,2,300]", 5); }, "e12 2 0102"},
      {"list bytes, n short", [&] { return list_bytes("[1,2,3|T]", 2); }, "2 0102 [3|_]"},
      {"list bytes, partial", [&] { return list_bytes("[1,2,3|T]", 5); }, "3 010203 _"},
      {"list bytes of -1", [&] { return list_bytes("[-1]", 5); }, "e12 0 "},
      {"list bytes of an atom", [&] { return list_bytes("foo", 5); }, "0  foo"},
      {"put list bytes",
       [&] {
         QX_term_ref t = fresh();
         const unsigned char b[] = {1, 2, 255};
         return result(QX_put_list_n_bytes(t, ref("[x]"), 3, b), t);
       },
       "[1,2,255,x]"},
      {"put no list bytes",
       [&] {
         QX_term_ref t = fresh();
         return result(QX_put_list_n_bytes(t, ref("end"), 0, (const unsigned char *)""), t);
       },
       "end"},
      {"number codes -12", [&] { return number("-12"); }, "small -12"},
      {"number codes 1.5e3", [&] { return number("1.5e3"); }, "1500"},
      {"number codes of 30 digits", [&] { return number("123456789012345678901234567890"); },
       "big4 <bignum>"},
      {"not a number", [&] { return number("12x"); }, "e13"},
      {"string with a non-ASCII letter", [&] { return string("h\xc3\xa9"); }, "h\xc3\xa9"},
      {"string invalid", [&] { return string("h\xc3"); }, "e14"},
      {"list codes with a tail",
       [&] {
         QX_term_ref t = fresh();
         return result(QX_put_list_codes(t, ref("T"), "ab"), t);
       },
       "[97,98|_]"},
      {"list of the first n codes",
       [&] {
         QX_term_ref t = fresh();
         return result(QX_put_list_n_codes(t, ref("[]"), 3, "h\xc3\xa9!"), t);
       },
       "[104,233]"},
      {"get list codes", [&] { return text_of(QX_get_list_codes, "[104,105]"); }, "hi"},
      {"get list codes of [a]", [&] { return text_of(QX_get_list_codes, "[a]"); }, "e11"},
      {"get number codes", [&] { return text_of(QX_get_number_codes, "-42"); }, "-42"},
      {"number codes of an atom", [&] { return text_of(QX_get_number_codes, "a"); }, "e11"},
      {"text of an atom", [&] { return text_of(QX_get_string, "'h\xc3\xa9'"); }, "h\xc3\xa9"},
      {"text of a list", [&] { return text_of(QX_get_string, "[a]"); }, "e11"},
      {"functor of a variable", [&] { return get_functor("X"); }, "e11"},
      {"functor of a number", [&] { return get_functor("5"); }, "e11"},
      {"functor of a list cell", [&] { return get_functor("[a]"); }, "./2"},
      {"functor of an atom", [&] { return get_functor("[]"); }, "[]/0"},
      {"arg 2 of a list cell", [&] { return arg(2, "[a,b]"); }, "[b]"},
      {"arg 3 of f(a,b)", [&] { return arg(3, "f(a,b)"); }, "e11"},
      {"arg 0 of f(a,b)", [&] { return arg(0, "f(a,b)"); }, "e11"},
      {"arg of an atom", [&] { return arg(1, "a"); }, "e11"},
      {"put_atom of a functor word",
       [&] { return result(QX_put_atom(fresh(), MakeFunctor(atom("f"), 2)), 0); }, "e11"},
      {"put_atom of an unknown index",
       [&] { return result(QX_put_atom(fresh(), MakeAtom(QX_MAX_ATOMS)), 0); }, "e11"},
      {"types", [&] { return type_of("X") + type_of("7") + type_of("99999999999"); },
       "100002011020110"},
      {"types", [&] { return type_of("a") + type_of("2.5") + type_of("f(x)") + type_of("[1]"); },
       "30100401105100051001"},
      {"compare variable and []", [&] { return compare("X", "[]") + compare("[]", "X"); }, "-11"},
      {"compare 1 and 1.0", [&] { return compare("1", "1.0") + compare("f(a)", "f(a)"); }, "10"},
      {"string from a non-atom",
       [&] { return with_errno(QX_string_from_atom(MakeSmall(1)) == nullptr); }, "1 e11"},
      {"atom length in bytes", [&] { return std::to_string(QX_atom_length(atom("h\xc3\xa9"))); },
       "3"},
      {"atom length of a non-atom", [&] { return with_errno((long)QX_atom_length(MakeSmall(1))); },
       "0 e11"},
      {"register saturates at 255",
       [&] {
         QX_atom a = atom("counted");
         for (int i = 0; i < 300; i++) QX_register_atom(a);
         QX_unregister_atom(a);
         return std::to_string(atom_record(a)->refcount);
       },
       "255"},
  };
  for (const Row &row : rows) {
    qx_set_errno(0);
    EXPECT_EQ(row.run(), row.expect) << row.what;
  }
}

TEST_F(TermApi, CompareOrdersFreshVariablesByAge)
{
  QX_term_ref older = fresh(), younger = fresh();
  QX_put_variable(older);
  QX_put_variable(younger);
  EXPECT_EQ(QX_compare(older, younger), -1);
  EXPECT_EQ(QX_compare(younger, older), 1);
  EXPECT_EQ(QX_compare(older, older), 0);
}

/* An address at or above 2^31 is one limb, read back as the same word. The box needs three
 * cells: with less than that free (or a top past the fence, with no room at all; the collector
 * off, as it could not walk such a heap) the constructor must make room first. */
TEST_F(TermApi, AddressesAreSignedOneLimbAndGetTheirRoom)
{
  worker *w = p.w;
  void *high = (void *)(uintptr_t)0x90000000u;
  qx_eg.current_gcmode = atom_off;
  for (ptrdiff_t free_cells : {100000, 2, -4}) {
    w->global_top = w->stack_start - free_cells;
    QX_term_ref t = fresh();
    ASSERT_EQ(QX_put_address(t, high), 1) << free_cells;
    EXPECT_GE(w->stack_start - w->global_top, 128) << free_cells;
    EXPECT_EQ(result(1, t), "big1 -1879048192");
    void *back = nullptr;
    ASSERT_EQ(QX_get_address(t, &back), 1);
    EXPECT_EQ(back, high);
  }
  QX_term_ref t = fresh();
  QX_put_address(t, (void *)&w);
  void *back = nullptr;
  QX_get_address(t, &back);
  EXPECT_EQ(back, (void *)&w);
}

TEST_F(TermApi, UnifyThatFailsUndoesBindingsTrailAndWakeUps)
{
  worker *w = p.w;
  mod_def *m = find_module(init_atom_check("watch", 0), 1);
  QX_term_ref first = ref("f(A, b, B)");
  /* A gets an attribute, so that binding it registers a wake-up. */
  put_attributes(deref(var("A")), init_atom_check("watched", 0), m);
  QX_term_ref second = ref("f(1, c, C)");
  TAGGED *trail = w->trail_top;
  uint32_t wake_count = w->wake_count, wake_len = w->wake_len;
  EXPECT_EQ(QX_unify(first, second), 0);
  EXPECT_TRUE(IsVar(deref(StrArg(deref(qx_ref_term(first)), 1)))) << "A is unbound again";
  EXPECT_TRUE(IsVar(deref(StrArg(deref(qx_ref_term(second)), 3)))) << "C too";
  EXPECT_EQ(w->trail_top, trail);
  EXPECT_EQ(w->wake_count, wake_count);
  EXPECT_EQ(w->wake_len, wake_len);
  EXPECT_EQ(QX_unify(first, ref("f(1, b, 2)")), 1);
  EXPECT_EQ(show(first), "f(1,b,2)");
  EXPECT_EQ(w->wake_count, wake_count + 1) << "a unification that holds keeps its wake-up";
}

TEST_F(TermApi, BadInputFailsWithItsNumberAndLeavesNothingBehind)
{
  QX_term_ref t = fresh(), tail = ref("[]"), not_codes = ref("[a]");
  size_t spaces[QX_SPACE_COUNT];
  for (int c = 0; c < QX_SPACE_COUNT; c++) spaces[c] = qx_space_in_use(c);
  TAGGED *top = p.w->global_top;
  size_t count = 0;
  char buffer[8];
  const char *invalid[] = {"\xff", "a\xc3", "\xc0\x80\xed"};
  struct {
    const char *what;
    std::function<int()> call;
    int error;
  } rows[] = {
      {"put_string null", [&] { return QX_put_string(t, nullptr); }, QX_ERR_NULL_STRING},
      {"put_number_codes null", [&] { return QX_put_number_codes(t, nullptr); },
       QX_ERR_NULL_STRING},
      {"put_list_codes null", [&] { return QX_put_list_codes(t, tail, nullptr); },
       QX_ERR_NULL_STRING},
      {"put_list_n_codes null", [&] { return QX_put_list_n_codes(t, tail, 2, nullptr); },
       QX_ERR_NULL_STRING},
      {"put_list_n_bytes null", [&] { return QX_put_list_n_bytes(t, tail, 2, nullptr); },
       QX_ERR_NULL_STRING},
      {"get_list_n_bytes null", [&] { return QX_get_list_n_bytes(tail, t, 2, &count, nullptr); },
       QX_ERR_NULL_STRING},
      {"get_list_n_codes null", [&] { return QX_get_list_n_codes(tail, t, 2, &count, nullptr); },
       QX_ERR_NULL_STRING},
      {"atom_from_string null", [&] { return (int)QX_atom_from_string(nullptr); },
       QX_ERR_NULL_STRING},
      {"put_string invalid 1", [&] { return QX_put_string(t, invalid[0]); }, QX_ERR_STRING},
      {"put_string invalid 2", [&] { return QX_put_string(t, invalid[1]); }, QX_ERR_STRING},
      {"atom_from_string invalid", [&] { return (int)QX_atom_from_string(invalid[2]); },
       QX_ERR_STRING},
      {"get_list_n_codes of a non-code",
       [&] { return QX_get_list_n_codes(not_codes, t, 8, &count, buffer); }, QX_ERR_DOMAIN_ERROR},
  };
  for (auto &row : rows) {
    qx_set_errno(0);
    EXPECT_EQ(row.call(), 0) << row.what;
    EXPECT_EQ(QX_get_errno(), row.error) << row.what;
    EXPECT_EQ(qx_ref_term(t), atom_nil) << row.what;
  }
  EXPECT_EQ(QX_existing_atom_from_string(invalid[0]), 0u);
  EXPECT_EQ(QX_existing_atom_from_string("never made before"), 0u);
  for (int c = 0; c < QX_SPACE_COUNT; c++) EXPECT_EQ(qx_space_in_use(c), spaces[c]) << c;
  EXPECT_EQ(p.w->global_top, top) << "nothing was built";

  /* n * size past 32 bits is refused, never a smaller block; the counts balance. */
  size_t foreign = qx_space_in_use(QX_SPACE_FOREIGN);
  EXPECT_EQ(QX_calloc(65536, 65536), nullptr);
  EXPECT_EQ(QX_calloc(65537, 65535 * 2), nullptr);
  EXPECT_EQ(QX_calloc(SIZE_MAX, 2), nullptr);
  void *zeroed = QX_calloc(1000, 3);
  ASSERT_NE(zeroed, nullptr);
  for (int i = 0; i < 3000; i++) ASSERT_EQ(((unsigned char *)zeroed)[i], 0);
  QX_free(zeroed);
  EXPECT_EQ(QX_strdup(nullptr), nullptr);
  char *copy = QX_strdup("copied");
  EXPECT_STREQ(copy, "copied");
  QX_free(copy);
  EXPECT_EQ(qx_space_in_use(QX_SPACE_FOREIGN), foreign);
}
