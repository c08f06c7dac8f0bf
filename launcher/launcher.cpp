/* The launcher's start, run and exit paths. */
#include "launcher.h"

#include <clocale>
#include <cstdio>

#include "datadefs.h"

ORVALIS_API_STRUCT *QX_get_dispatch_40102_checked();
#define QX_RESOURCE_API QX_get_dispatch_40102_checked()
#include "orvalis.h"
#include "qxlibres.h"
#include "startup.h"

/* The solver resource's Prolog interface (its library's fd_kernel.h). */
extern const qx_foreign_interface qx_clpfd_interface;

namespace {

ORVALIS_API_STRUCT *qx_GlobalOrvalis = nullptr;

constexpr const char *APPLICATION = "URL:x-orvalis-resource:/tavro/tavro.sav";
const qx_foreign_interface *const interfaces[] = {&qx_clpfd_interface, &qx_timeout_interface,
                                                  &qx_codesio_interface, &qx_random_interface,
                                                  nullptr};

/* One message on the standard error stream, flushed at once. */
void say(const char *format, const char *argument = nullptr)
{
  std::fprintf(stderr, format, argument);
  std::fflush(stderr);
}

int could_not_restore()
{
  say("! Could not restore \"%s\".\n", APPLICATION);
  return 1;
}

/* Restores the application and runs main/0: the exit code. */
int run_application()
{
  int restored = QX_restore(APPLICATION);
  int code = 0;
  if (restored == 1) {
    QX_pred_ref main_pred = QX_predicate("main", 0, "prolog");
    if (main_pred == nullptr) {
      say("! Could not find entrypoint: %s\n", QX_error_message(QX_get_errno()));
      return 1;
    }
    int result = QX_query(main_pred);
    if (result == 1) return 0;
    if (result == -1 && get_reserved_exception(&code) == 4) return code;
    return 1;
  }
  if (restored == -1) {
    int kind = get_reserved_exception(&code);
    if (kind == 3) return 1;
    if (kind == 4) return code;
  }
  return could_not_restore();
}

}  // namespace

ORVALIS_API_STRUCT *QX_get_dispatch_40102_checked()
{
  if (qx_GlobalOrvalis == nullptr) qx_GlobalOrvalis = ::QX_get_dispatch_40102(nullptr);
  return qx_GlobalOrvalis;
}

int get_reserved_exception(int *code)
{
  QX_term_ref t = QX_new_term_ref();
  if (!t || !QX_exception_term(t)) return -1;
  int found = 0;
  int kind = QX_decode_reserved_exception(t, &found);
  if (kind < 1) return -1;
  *code = found;
  return kind;
}

int qx_launch(int argc, char **argv, int init_flags)
{
  int nargs = argc > 0 ? argc - 1 : 0;
  char **args = argc > 0 ? argv + 1 : argv;
  int code = 1;
  /* The character set of the arguments and of the standard streams is the environment's. */
  std::setlocale(LC_CTYPE, "");
  qx_set_linked_interfaces(interfaces);
  if (qx_glue_initialize(0, nullptr, nullptr, qx_pre_linkage, qx_pre_map, 0, init_flags) != 1) {
    int error = QX_get_errno();
    if (error == QX_ERR_BOOTFILE)
      say("! Prolog engine initialization failed: could not find bootfile %s\n",
          qx_get_failed_bootpath());
    else if (error != 0)
      say("! Prolog engine initialization failed: %s\n", QX_error_message(error));
    else
      say("! Prolog engine initialization failed\n");
  } else if (QX_set_argv(nargs, args, 1) == 0) {
    say("! Prolog engine initialization failed. Malformed or overlong command line.\n");
  } else {
    code = run_application();
  }
  QX_deinitialize();
  /* output that could not be written at exit (named on user_error) fails a run that succeeded */
  if (code == 0 && QX_get_errno() == QX_ERR_SYSTEM_ERROR) code = 1;
  return code;
}

int user_main(int argc, char **argv) { return qx_launch(argc, argv, 1); }

int qx_main_internal(int argc, char **argv) { return user_main(argc, argv); }

int SU_initialize(int, char **) { return 0; }
