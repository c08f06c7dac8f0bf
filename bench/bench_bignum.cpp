/* Bignums to and from decimal text: numbers of 10,000 digits read by the number-text reader and
 * printed back in base 10. */
#include <random>
#include <vector>

#include "bench_common.h"
#include "numbers.h"
#include "objareas.h"

namespace {

constexpr int DIGITS = 10000;
constexpr int NUMBERS = 8;

/* Random digit texts with a nonzero first digit, every other one negative. */
std::vector<std::string> make_texts()
{
  std::mt19937 rng(20240601);
  std::vector<std::string> texts;
  for (int k = 0; k < NUMBERS; k++) {
    std::string t = k % 2 ? "-" : "";
    t += (char)('1' + rng() % 9);
    while ((int)t.size() < DIGITS + k % 2) t += (char)('0' + rng() % 10);
    texts.push_back(t);
  }
  return texts;
}

/* Conversions a second, running batches until about a second has passed. */
template <class F>
double per_second(F convert)
{
  long done = 0, batch = 4;
  double seconds = 0;
  while (seconds < 1.0) {
    seconds += bench_seconds([&] {
      for (long i = 0; i < batch; i++) convert(done + i);
    });
    done += batch;
    batch *= 2;
  }
  return (double)done / seconds;
}

void report(const char *what, double rate)
{
  std::printf("%s: %.1f conversions/s, %.2f M digits/s (%d digits)\n", what, rate,
              rate * DIGITS / 1e6, DIGITS);
}

}  // namespace

int main()
{
  BenchEngine e;
  worker *w = e.w;
  call_overflow(w, 64 * 1024, 0);
  std::vector<std::string> texts = make_texts();
  std::vector<TAGGED> numbers;
  for (const std::string &t : texts) {
    TAGGED n = qx_string_to_number(w, t.c_str(), 10, nullptr);
    const char *back = n ? qx_number_to_string(n, 10, 0) : nullptr;
    if (!IsBignum(n) || !back || t != back) {
      std::fprintf(stderr, "bench_bignum: a %d-digit number does not round-trip\n", DIGITS);
      return 1;
    }
    numbers.push_back(n);
  }
  TAGGED *top = w->global_top;
  double from_text = per_second([&](long i) {
    w->global_top = top;
    if (!qx_string_to_number(w, texts[(size_t)i % NUMBERS].c_str(), 10, nullptr)) std::exit(1);
  });
  w->global_top = top;
  report("decimal to bignum", from_text);
  double to_text = per_second([&](long i) {
    if (!qx_number_to_string(numbers[(size_t)i % NUMBERS], 10, 0)) std::exit(1);
  });
  report("bignum to decimal", to_text);
  return 0;
}
