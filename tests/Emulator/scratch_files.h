/* Files generated for a test in a directory of its own in the scratch root. */
#ifndef QX_SCRATCH_FILES_H
#define QX_SCRATCH_FILES_H

#include <stdlib.h>

#include <fstream>
#include <string>
#include "scratch_root.h"

/* The directory of this test program (made once). */
inline std::string scratch_dir()
{
  static std::string d = qx_scratch_mkdtemp("qx_scratch");
  return d;
}

/* Writes bytes to the file name of the scratch directory, replacing it; answers its path. */
inline std::string scratch_file(const std::string &name, const std::string &bytes)
{
  std::string path = scratch_dir() + "/" + name;
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
  return path;
}

/* The bytes of the file at path (none when it cannot be read). */
inline std::string file_bytes(const std::string &path)
{
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

#endif
