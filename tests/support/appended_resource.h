/* A resource as it is appended to a file: its bytes, then the trailer that names it. */
#ifndef QX_APPENDED_RESOURCE_H
#define QX_APPENDED_RESOURCE_H

#include <cstdio>
#include <string>

/* bytes followed by the trailer that makes them the resource of the name file (a lookup matches
 * the end of it). */
inline std::string with_trailer(const std::string &bytes, const std::string &file)
{
  char size[32];
  std::snprintf(size, sizeof size, "0x%zx", bytes.size());
  return bytes + "\n# META_INFO_SUFFIX 1\n# file=\"" + file + "\"\n# size=\"" + size +
         "\"\n# META_INFO_SUFFIX END\n";
}

#endif
