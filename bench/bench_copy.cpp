/* bench_copy: without arguments, copies standard input to standard output through the I/O
   library (UTF-8 decoded into codes and encoded back). With --bench [megabytes] it measures
   itself on a mixed-script UTF-8 file (200 MB by default), file to file and pipe to pipe,
   beside a plain read/write copy (dd bs=64k) and iconv from UTF-8 to UTF-8, and prints the
   throughputs in MB/s and the ratios. */
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <vector>

#include "bench_copy.h"

namespace {

struct command {
  const char *name;
  std::vector<std::string> argv;
};

/* Runs a command with the given descriptors as its standard input and output; answers its
   exit status as waitpid gives it. */
int run(const command &c, int in_fd, int out_fd)
{
  pid_t pid = fork();
  if (pid == 0) {
    signal(SIGPIPE, SIG_DFL);
    dup2(in_fd, 0);
    dup2(out_fd, 1);
    std::vector<char *> argv;
    for (const std::string &arg : c.argv) argv.push_back(const_cast<char *>(arg.c_str()));
    argv.push_back(nullptr);
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 2);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  int status = -1;
  waitpid(pid, &status, 0);
  return status;
}

double seconds_since(std::chrono::steady_clock::time_point start)
{
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

/* File to file: MB/s, or 0 when the command failed or wrote the wrong number of bytes. */
double file_to_file(const command &c, const std::string &in_path, const std::string &out_path,
                    size_t bytes)
{
  int in = open(in_path.c_str(), O_RDONLY | O_CLOEXEC);
  int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  auto start = std::chrono::steady_clock::now();
  int status = run(c, in, out);
  double elapsed = seconds_since(start);
  close(in);
  close(out);
  struct stat st;
  bool ok =
      status == 0 && stat(out_path.c_str(), &st) == 0 && static_cast<size_t>(st.st_size) == bytes;
  return ok ? bytes / 1e6 / elapsed : 0;
}

/* Pipe to pipe: this process feeds the command's input pipe from memory and drains its
   output pipe. */
double pipe_to_pipe(const command &c, const std::string &text)
{
  int to[2], from[2];
  if (pipe2(to, O_CLOEXEC) != 0 || pipe2(from, O_CLOEXEC) != 0) return 0;
  size_t received = 0;
  auto start = std::chrono::steady_clock::now();
  std::thread feeder([&] {
    for (size_t done = 0; done < text.size();) {
      ssize_t n = write(to[1], text.data() + done, text.size() - done);
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    close(to[1]);
  });
  std::thread drainer([&] {
    std::vector<char> chunk(1 << 16);
    ssize_t n;
    while ((n = read(from[0], chunk.data(), chunk.size())) > 0) received += static_cast<size_t>(n);
  });
  int status = run(c, to[0], from[1]);
  close(to[0]);
  close(from[1]);
  feeder.join();
  drainer.join();
  double elapsed = seconds_since(start);
  close(from[0]);
  return status == 0 && received == text.size() ? text.size() / 1e6 / elapsed : 0;
}

int benchmark(size_t megabytes)
{
  /* a command that fails early must not take this process with it */
  signal(SIGPIPE, SIG_IGN);
  char dir_pattern[] = "/tmp/bench_copy-XXXXXX";
  if (mkdtemp(dir_pattern) == nullptr) return 1;
  std::string dir = dir_pattern, in_path = dir + "/in.txt", out_path = dir + "/out.txt";
  std::string text = qxio_copy::mixed_text(megabytes << 20);
  FILE *file = fopen(in_path.c_str(), "wb");
  if (file == nullptr || fwrite(text.data(), 1, text.size(), file) != text.size()) return 1;
  fclose(file);
  char self[4096];
  ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  if (length <= 0) return 1;
  self[length] = '\0';
  const command commands[] = {{"bench_copy", {self}},
                              {"dd bs=64k", {"dd", "bs=64k"}},
                              {"iconv", {"iconv", "-f", "UTF-8", "-t", "UTF-8"}}};
  printf("input: %zu bytes of mixed-script UTF-8\n", text.size());
  for (int shape = 0; shape < 2; shape++) {
    double rate[3];
    for (int i = 0; i < 3; i++) {
      rate[i] = shape == 0 ? file_to_file(commands[i], in_path, out_path, text.size())
                           : pipe_to_pipe(commands[i], text);
      printf("%s %-10s %8.1f MB/s\n", shape == 0 ? "file to file" : "pipe to pipe",
             commands[i].name, rate[i]);
    }
    fflush(stdout);
    printf("%s ratio bench_copy/iconv %.2f, bench_copy/dd %.2f\n",
           shape == 0 ? "file to file" : "pipe to pipe", rate[2] > 0 ? rate[0] / rate[2] : 0,
           rate[1] > 0 ? rate[0] / rate[1] : 0);
  }
  unlink(in_path.c_str());
  unlink(out_path.c_str());
  rmdir(dir.c_str());
  return 0;
}

}  // namespace

int main(int argc, char **argv)
{
  if (argc >= 2 && strcmp(argv[1], "--bench") == 0)
    return benchmark(argc >= 3 ? static_cast<size_t>(atol(argv[2])) : 200);
  return qxio_copy::copy_program();
}
