/* What the stand-in application's main/0 prints, worked out apart from it. */
#ifndef QX_STAND_IN_H
#define QX_STAND_IN_H

#include <cstdint>
#include <string>

/* The greeting with the arguments as write/1 shows them, e.g. "[x,3]". */
inline std::string expected_greeting(const std::string &args)
{
  std::string reversed;
  for (int i = 30; i >= 1; i--) reversed += std::to_string(i) + (i > 1 ? "," : "");
  uint64_t f = 1;
  for (uint64_t i = 2; i <= 20; i++) f *= i;
  return "Hello from the stand-in application.\nArguments: " + args + "\nReversed: [" + reversed +
         "]\n20! = " + std::to_string(f) + "\n";
}

#endif
