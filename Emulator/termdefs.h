/* The tagged term cell: the one place that names its layout.
 *
 * A cell is a 32-bit word. Low two bits: 00 reference (an unbound variable refers to itself),
 * 01 structure (address of the functor cell + 1), 10 list pair (address of the pair + 2),
 * 11 constant. Among constants the low three bits 011 mark a small integer (value << 3,
 * 29 bits signed) and 111 an atom (index << 3, sign bit clear) or, with the sign bit set, the
 * header of a boxed number. A functor cell is an atom cell with the arity (<= 255) in bits
 * 23-30. Every other file uses these accessors instead of shifting and masking by hand.
 */
#ifndef QX_TERMDEFS_H
#define QX_TERMDEFS_H

#include <cstdint>
#include <cstring>

#include "qxaux.h"

static_assert(sizeof(void *) == 4, "the engine's cells hold addresses: 32-bit target only");

typedef uint32_t TAGGED;
typedef int32_t SIGNED_TAGGED;

enum : TAGGED {
  QX_TAG_REF = 0,
  QX_TAG_STR = 1,
  QX_TAG_LST = 2,
  QX_TAG_CONST = 3,
  QX_TAG_SMALL = 3, /* low three bits of a small integer */
  QX_TAG_ATOM = 7,  /* low three bits of an atom or functor cell (and of a box header) */
};

/* Small integer range: 29 bits signed. */
constexpr int32_t QX_SMALL_MIN = -268435456;
constexpr int32_t QX_SMALL_MAX = 268435455;

/* Box headers: -33 a float; -(n-1)*16-25 a bignum of n limbs. */
constexpr TAGGED QX_FLOAT_HEADER = (TAGGED)-33;
constexpr TAGGED QX_BIGNUM1_HEADER = (TAGGED)-25;
/* Marker cell in front of an attributed variable's record. */
constexpr TAGGED QX_ATTVAR_MARK = 0xFFFFFFFFu;

constexpr TAGGED QX_ARITY_SHIFT = 23;
constexpr TAGGED QX_FUNCTOR_NAME_MASK = 0x807FFFFFu;
constexpr uint32_t QX_MAX_ARITY = 255;

/* ---- tags ---- */
static inline TAGGED TagOf(TAGGED t) { return t & 3; }
static inline bool IsRef(TAGGED t) { return (t & 3) == QX_TAG_REF; }
static inline bool IsStr(TAGGED t) { return (t & 3) == QX_TAG_STR; }
static inline bool IsLst(TAGGED t) { return (t & 3) == QX_TAG_LST; }
static inline bool IsConst(TAGGED t) { return (t & 3) == QX_TAG_CONST; }
static inline bool IsSmall(TAGGED t) { return (t & 7) == QX_TAG_SMALL; }
static inline bool IsAtom(TAGGED t)
{
  return (t & 0x80000007u) == QX_TAG_ATOM && (t >> QX_ARITY_SHIFT) == 0;
}
/* A box header is a constant with low bits 111 and the sign bit set. */
static inline bool IsBoxHeader(TAGGED t) { return (t & 0x80000007u) == 0x80000007u; }
static inline bool IsFloatHeader(TAGGED t) { return IsBoxHeader(t) && (t & 8) != 0; }
static inline bool IsBignumHeader(TAGGED t) { return IsBoxHeader(t) && (t & 8) == 0; }
/* Words of a box including both headers: float 4, bignum of n limbs n+2. */
static inline int BoxWords(TAGGED header) { return 1 - (((SIGNED_TAGGED)header) >> 4); }
static inline int BignumLimbs(TAGGED header) { return BoxWords(header) - 2; }
static inline TAGGED BignumHeader(int nlimbs) { return (TAGGED)(-(nlimbs - 1) * 16 - 25); }

/* ---- pointers ---- */
static inline TAGGED *TagToPointer(TAGGED t) { return (TAGGED *)(uintptr_t)(t & ~(TAGGED)3); }
static inline TAGGED MakeRef(const TAGGED *p) { return (TAGGED)(uintptr_t)p; }
static inline TAGGED MakeStr(const TAGGED *p) { return (TAGGED)(uintptr_t)p + QX_TAG_STR; }
static inline TAGGED MakeLst(const TAGGED *p) { return (TAGGED)(uintptr_t)p + QX_TAG_LST; }
static inline TAGGED *RefPtr(TAGGED t) { return (TAGGED *)(uintptr_t)t; }
static inline TAGGED *StrPtr(TAGGED t) { return (TAGGED *)(uintptr_t)(t - QX_TAG_STR); }
static inline TAGGED *LstPtr(TAGGED t) { return (TAGGED *)(uintptr_t)(t - QX_TAG_LST); }

/* ---- small integers ---- */
static inline bool SmallFits(int64_t v) { return v >= QX_SMALL_MIN && v <= QX_SMALL_MAX; }
static inline TAGGED MakeSmall(int32_t v) { return ((TAGGED)v << 3) | QX_TAG_SMALL; }
static inline int32_t GetSmall(TAGGED t) { return ((SIGNED_TAGGED)t) >> 3; }

/* ---- atoms and functors ---- */
static inline TAGGED MakeAtom(uint32_t index) { return (index << 3) | QX_TAG_ATOM; }
static inline uint32_t AtomIndex(TAGGED t) { return (t & 0x007FFFFFu) >> 3; }
static inline TAGGED MakeFunctor(TAGGED atom, uint32_t arity)
{
  return (atom & QX_FUNCTOR_NAME_MASK) | (arity << QX_ARITY_SHIFT);
}
static inline bool IsFunctorCell(TAGGED t) { return (t & 0x80000007u) == QX_TAG_ATOM; }
static inline uint32_t Arity(TAGGED functor) { return (functor >> QX_ARITY_SHIFT) & 0xFF; }
static inline TAGGED FunctorName(TAGGED functor) { return functor & QX_FUNCTOR_NAME_MASK; }

/* ---- compound terms (the tagged word of a structure, not its functor cell) ---- */
static inline TAGGED StrFunctor(TAGGED t) { return *StrPtr(t); }
static inline TAGGED *StrArgs(TAGGED t) { return StrPtr(t) + 1; }
static inline TAGGED StrArg(TAGGED t, int i /* 1-based */) { return StrPtr(t)[i]; }
static inline bool IsBox(TAGGED t) { return IsStr(t) && IsBoxHeader(StrFunctor(t)); }
static inline bool IsFloat(TAGGED t) { return IsStr(t) && IsFloatHeader(StrFunctor(t)); }
static inline bool IsBignum(TAGGED t) { return IsStr(t) && IsBignumHeader(StrFunctor(t)); }
static inline bool IsCompound(TAGGED t)
{
  return IsLst(t) || (IsStr(t) && !IsBoxHeader(StrFunctor(t)));
}
static inline bool IsInteger(TAGGED t) { return IsSmall(t) || IsBignum(t); }
static inline bool IsNumber(TAGGED t) { return IsSmall(t) || IsBox(t); }
static inline bool IsAtomic(TAGGED t) { return IsConst(t) || IsBox(t); }
static inline TAGGED LstHead(TAGGED t) { return LstPtr(t)[0]; }
static inline TAGGED LstTail(TAGGED t) { return LstPtr(t)[1]; }

/* The double of a boxed float (payload low word first). */
static inline double FloatValue(TAGGED t)
{
  double d;
  std::memcpy(&d, StrPtr(t) + 1, sizeof d);
  return d;
}

/* ---- variables ---- */
/* An unbound variable is a reference cell pointing at itself. */
static inline bool IsUnbound(const TAGGED *cell) { return *cell == MakeRef(cell); }
/* An attributed variable's cell is preceded by the -1 marker of its record. */
static inline bool IsAttVarCell(const TAGGED *cell) { return cell[-1] == QX_ATTVAR_MARK; }

/* Follow reference chains to an unbound variable (its self-reference) or a non-reference. */
static inline TAGGED deref(TAGGED t)
{
  while (IsRef(t)) {
    TAGGED next = *RefPtr(t);
    if (next == t) break;
    t = next;
  }
  return t;
}
static inline bool IsVar(TAGGED derefed) { return IsRef(derefed); }

#endif
