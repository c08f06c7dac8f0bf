/* Saved states: images of (part of) the program database, written by $save/3, $save_doit/7 and
 * $save_increment/5 and read by $restore/2 and $restore_increment/2.
 *
 * A state is a shell-script text header, a version line with the architecture mask, binary
 * records of a 28-byte header each (tag and six words) with their payloads, the end record, and
 * a text trailer giving the size. Every pointer in a state is the writer's own address or atom
 * cell, used as a key: the reader maps each key to the object it makes through its relocation
 * table, and a record may only use keys that earlier records defined.
 */
#ifndef QX_SAVEREST_H
#define QX_SAVEREST_H

#include <cstdint>
#include <string>
#include <vector>

#include "archmask.h"
#include "datadefs.h"
#include "relocate.h" /* QX_REL_ATOM, QX_REL_PREDICATE: the walk callbacks' kinds */
#include "streams.h"

struct emul_info;

/* ---- records ---- */
enum : int32_t {
  QX_REC_ATOM = 0,
  QX_REC_MODULE = 1,
  QX_REC_PREDICATE = 2,
  QX_REC_ATTRIBUTE = 3,
  QX_REC_EXPORTS = 4,
  QX_REC_BLOCK = 5,
  QX_REC_SOURCE_FILE = 6,
  QX_REC_BLACKBOARD = 7,
  QX_REC_NAME = 8,
  QX_REC_PROPERTIES = 9,
  QX_REC_IMPORT = 10,
  QX_REC_DYNAMIC_CLAUSE = 11,
  QX_REC_COMPILED_CLAUSE = 12,
  QX_REC_FD_PREDICATE = 13,
  QX_REC_FLAGS = 14,
  QX_REC_RESET_MODULE = 15,
  QX_REC_END = 16,
};
/* Prefix kinds of atom records. */
enum : uint32_t { QX_PREFIX_LIBRARY = 1, QX_PREFIX_STATE_DIR = 2, QX_PREFIX_NONE = 3 };
/* Words of the global-flags record. */
constexpr int QX_STATE_FLAG_WORDS = 15;
/* The flags of a state's global-flags record: the key words are the engine's flag fields, word 5
 * its collection margin and word 15 its type-in module's name; the atom-collection margin (word
 * 7) and the window title (word 14) are kept in qx_state_flags, where 0 stands for the
 * default. */
extern TAGGED qx_state_flags[QX_STATE_FLAG_WORDS];
void qx_get_state_flags(TAGGED words[QX_STATE_FLAG_WORDS]);
void qx_reset_state_flags(); /* the defaults again, at engine start */
void qx_set_state_flags(const TAGGED words[QX_STATE_FLAG_WORDS]);
/* Bit 0 of mod_def.prop: the module is hidden. */
constexpr uint32_t QX_MODULE_HIDDEN = 1;


struct saverest_info;
typedef int (*saverest_callback)(TAGGED *cell, TAGGED key, saverest_info *info, int kind);

/* The state of one save or restore. */
struct saverest_info {
  QX_stream *stream = nullptr;
  std::string library_path; /* ends in "/library/"; empty when the engine has none */
  std::string dir_path;     /* directory part of the state's file name, ending in "/" */
  struct sw_on_key *hash = nullptr;
  TAGGED filename = 0; /* registered while the operation runs */
  uint32_t savemask = 0, restoremask = 0;
  TAGGED filter = 0; /* multifile file filter: 0 unset, all ones none, else a list */
  int write_error = 0;
  void *fd_saver = nullptr, *fd_restorer = nullptr;
  int diffendian = 0;
  int64_t start_offset = 0;
  int64_t written = 0; /* bytes handed to the stream since the header began */
  /* restore */
  std::vector<definition *> locked; /* definitions this restore marked */
  std::vector<TAGGED> filter_files; /* the filter's file atoms */
  bool ended = false;               /* the end pass ran */
  /* save */
  std::string target; /* the file the state goes to */
  std::string temp;   /* the file written until it is complete */
  bool force = false; /* a database reference forces its predicate's clauses */
  std::vector<definition *> in_progress;
  std::string error_text;        /* the operation's own failure message */
  definition *skipped = nullptr; /* put aside by the multifile rule */
};

/* Reads length bytes of the state; 4-byte words are reversed when the byte orders differ and
 * length is not 1. 0, or the negative stream error (end of file -1). */
int fread_longs(void *buffer, uint32_t length, saverest_info *info);
/* Reads length bytes as they are (names, masks, code). */
int fread_bytes(void *buffer, uint32_t length, saverest_info *info);
int fread_longs_callback(void *buffer, uint32_t length, saverest_info *info);
/* Writes length bytes; answers length, or 0 once a write error is recorded (sticky). */
uint32_t Fwrite(const void *buffer, uint32_t length, saverest_info *info);

/* ---- relocation table ---- */
enum saverest_kind : uint32_t { QX_RK_INSTANCE = 0, QX_RK_DEFINITION = 1, QX_RK_MODULE = 2 };
/* Enter a key: atoms (tagged cells) or objects of a kind. */
void rel_enter_atom(saverest_info *info, TAGGED key, TAGGED atom);
void rel_enter(saverest_info *info, TAGGED key, void *object, saverest_kind kind);
/* Translate a key: 0 / null after printing "! relocation undefined" when absent or of another
 * kind. Atom cells up to 71 translate to themselves; functor keys keep their arity. */
TAGGED rel_atom(saverest_info *info, TAGGED key);
void *rel_object(saverest_info *info, TAGGED key, saverest_kind kind);
/* Atom references back to normal, definitions unmarked; once. */
void rel_end_pass(saverest_info *info);

/* ---- stored terms ---- */
/* Visits the term code of an instance body: atom and functor cells go to the callback (kind 1),
 * database references after '$ref'/2 are handled by the callback with kind QX_REL_DBREF, boxed
 * numbers are skipped (floats' payload words exchanged when the byte orders differ). Answers 0, or
 * the callback's negative result. */
constexpr int QX_REL_DBREF = 3;
int relocate_instance(instance *ins, saverest_callback callback, saverest_info *info);
int relocate_body(TAGGED *body, uint32_t words, saverest_callback callback, saverest_info *info);
/* A body read from a state is a well-formed term image: every pointer lands on a cell of the
 * right kind further on, variables refer to unbound cells, boxes fit. */
bool qx_valid_instance_body(const TAGGED *body, uint32_t words);

/* ---- saving and restoring ---- */
int restore_init(const char *path, saverest_info **info_out, uint32_t *kind_in_out, TAGGED culprit,
                 int argument);
int restore_common(saverest_info *info, definition **skipped_out);
void restore_deinit(saverest_info *info, int failed);
void save_deinit(saverest_info *info, int failed);
int restore_rel(TAGGED *cell, TAGGED key, saverest_info *info, int kind);
int save_rel(TAGGED *cell, TAGGED key, saverest_info *info, int kind);
/* Messages of failed restores: printed on the terminal by the reader. */
extern const char *const qx_bad_saved_state;

/* Text header and trailer. */
int qx_write_state_header(saverest_info *info, const std::vector<std::string> &resources);
int qx_write_state_trailer(saverest_info *info, int64_t size);
/* Reads the header up to the version line and checks the mask against the requested kind;
 * answers 0, or a negative code with the message in *message. */
int qx_read_state_header(saverest_info *info, uint32_t requested, uint32_t *saved_kind,
                         std::string *message);

/* The directory part of a path, ending in "/" (empty without one); the engine's library
 * directory, ending in "/" (empty when QX_LIBRARY_DIR is not set). */
std::string qx_directory_of(const std::string &path);
std::string qx_library_path();

/* The multifile file filter of $save:type(files(L)): info->filter becomes the empty list and
 * info->filter_files the file atoms when that clause exists. */
void qx_find_file_filter(saverest_info *info);

/* The names of the foreign resources loaded now (the FR lines of a state's header): the
 * solutions of prolog:loaded_resource/1, enumerated with events disabled. False when a solution
 * is not text. */
bool qx_loaded_resource_names(std::vector<std::string> &names);

/* ---- the finite-domain solver's hooks ---- */
extern int QX_fd_ever_loaded;
extern qx_fd_manager_fn qx_fd_manager_hook;
extern qx_fd_restorer_fn qx_fd_restorer_hook;
extern qx_fd_saver_fn qx_fd_saver_hook;
int QX_install_fd_hooks(void *api, qx_fd_manager_fn manager, qx_fd_restorer_fn restorer,
                        qx_fd_saver_fn saver, void (*destructor)(void *cookie, void *chain),
                        int enable);
void init_fd_hooks();
int call_fd_manager(int operation, void *argument);
/* Loads the solver's resource, so that its hooks are installed: 0, or the file-not-found code. */
int load_clpfd_resource();
/* Unloads it (its hooks go): 0, or the file-not-found code when it was not loaded. */
int unload_clpfd_resource();

#endif
