/* geost/4's working data, shared by the geost files: the persistent block geost_data with its
 * object, shape, forbidden-region and pallet-loading sub-blocks, the records hung from it, and
 * the region table's operations (geost.cpp).
 *
 * k is the number of dimensions. Coordinates, sizes and volumes are plain 32-bit integers. An
 * object o has a shape view dvar[(k+1)*o] and origin views dvar[(k+1)*o+1+d]; a shape is a run of
 * shifted boxes (sboxes) with the same identifier, sbox j describing rows j*k .. j*k+k-1 of the
 * per-dimension shape arrays. A region is a k-box origin[r*k+d] .. end[r*k+d], both inclusive.
 */
#ifndef QX_FD_GEOST_H
#define QX_FD_GEOST_H

#include <cstddef>
#include <cstdint>

#include "fd_kernel.h"

struct task;      /* the scheduling task record (fd_sched.h) */

/* option word */
constexpr int32_t GEOST_LEX = 0x1, GEOST_DISJUNCTIVE = 0x2, GEOST_CUMULATIVE = 0x10,
                  GEOST_POLYMORPHISM = 0x20, GEOST_PARCONFLICT = 0x40, GEOST_VISAVIS_INIT = 0x80,
                  GEOST_VISAVIS = 0x100, GEOST_CORNERS = 0x200, GEOST_TASK_INTERVALS = 0x400,
                  GEOST_DYNAMIC_PROGRAMMING = 0x800, GEOST_LONGEST_HOLE = 0x1000,
                  GEOST_LONGEST_HOLE_ALL = 0x3000, GEOST_VISAVIS_FLOATING = 0x4000,
                  GEOST_PALLET_LOADING = 0x8000, GEOST_RULES = 0x10000, GEOST_OVERLAP = 0x20000,
                  GEOST_VOLUME = 0x40000, GEOST_OVERLAP_TOO = 0x80000;
constexpr int32_t GEOST_DEFINED_OPTIONS = 0xfffff; /* every bit above is defined (0x4, 0x8 carried) */

/* One compiled rule procedure. */
struct geost_proc {
  geost_proc *next;
  int32_t self, dest, nreg, nstack, ncode, ndep;
  int32_t *code; /* ncode words */
  int32_t *dep;  /* ndep words */
};

struct geost_data;

/* A disjunctive check on the forbidden regions of an object. */
struct geost_dis {
  geost_dis *next;
  int obj;
  int (*inside_fr)(ORVALIS_API_STRUCT *api, geost_data *b, int region);
  int (*maximize_fbox)(ORVALIS_API_STRUCT *api, geost_data *b, int region);
  int32_t limit;
};

/* One memo entry of the knapsack callback, followed by its n 16-bit support entries. */
struct geost_dp {
  geost_dp *next;
  int32_t lslack, rslack, sslack;
  int n;
  uint16_t *entries() { return (uint16_t *)(this + 1); }
};

struct geost_value_index {
  int value, index;
};
struct geost_event {
  int32_t key;
  int object, sbox;
};
struct geost_lpair {
  int32_t x, y;
};

struct geost_data {
  void (*destructor)(void *block);
  int (*daemon)(ORVALIS_API_STRUCT *api, worker *w, void *block, TAGGED *attr_ref, TAGGED global);
  ORVALIS_API_STRUCT *env;
  QX_globref refbase;
  int32_t stamp, tick, exact_slack, slack, target_avail, rest_volume;
  int kdims, nobjects, nsboxes_posted, nsboxes_allocated, max_nsboxes, nregions, ntargets, nrefs,
      opt, overflow, curdim, norder, prunedsid;
  void *qt;
  int query_count;
  sw_on_key *shape_hash;
  struct task *task;
  int *fixorder, *memo, *current_point;
  int current_object, current_sid;
  int *current, *next, *dvar_min, *dvar_max, *pruneddim;
  int *vis_a_vis_size, *vis_a_vis_vol, *vis_a_vis_object, *vis_a_vis_sbox;
  int *target, *byclass, *byarea, *maxeps;
  int32_t **lch_tables; /* longest-hole tables per dimension: closed, open, max, inverse */
  int32_t **lh_tables, **lh_tables_max, **lh_tables_inv;
  int32_t max_val_in_lmax, maxbacks;
  int32_t lh_slack; /* the slack of the box the tables were built for: their last row */
  int *check_cumulative_set, *cumulative_sbox;
  sw_on_key **dp_hash;
  struct dvar *dvar;
  struct dvar fix_dvar, volume_dvar;
  struct dvar *lower_dvar, *upper_dvar;

  struct { /* nobjects + 2 entries: the objects, the virtual object, the accumulator */
    geost_proc **proc;
    geost_dis **dis;
    int *flags, *lex_prev, *lex_next, *oid, *min_vol_sid, *max_vol_sid;
    int *minwit, *maxwit; /* k*k per object */
    int *low, *up, *auxlow, *auxlow1, *auxlow2, *auxup, *auxup1, *auxup2; /* k per object */
  } object;

  struct { /* nsboxes_allocated sboxes */
    int *max_size, *max_trans_size, *min_trans; /* k */
    int *sid;                                   /* entry nsboxes_posted is 0x7fffffff */
    int *translation, *size, *size_multiset;    /* k per sbox */
    int *min, *max, *cur, *useful;
    int32_t *volume, *svolume, *tvolume;
    int *boundaries;      /* 2k per sbox */
    char *included;       /* nsboxes_posted squared */
  } shape;

  struct { /* the forbidden regions of one call */
    int end_bb, end_relative, end_absolute, top_of_stack, round_robin, heapsize, nactive;
    int *obj, *next, *origin, *end, *heap, *active, *activep;
  } fr;

  size_mem scratch[3];

  struct {
    int sbox, nholes;
    int32_t pslack;
    int *bborig, *bbend; /* k */
    int *holes, *islin;
  } pl;
};

/* The counts a block is sized from. */
struct geost_dims {
  int kdims, nobjects, nsboxes_posted, max_nsboxes, norder;
};

/* The bytes of a block and its carving: every array after the header in one allocation, each
 * with the length geost_data's comments give; the fields the creation sets (counts, sentinel,
 * the identity target, pruneddim all 1, flags 3, prunedsid 1, check_cumulative_set[0] -2,
 * pl.pslack -1) are set, everything else is zero. */
size_t geost_block_bytes(const geost_dims &dims);
void geost_carve(geost_data *b, const geost_dims &dims);
/* The shape table from the sbox rows already filled (sid, translation, size, sorted by sid):
 * shape_hash, the sentinel, size_multiset, included and the per-dimension extremes. */
void geost_index_shapes(ORVALIS_API_STRUCT *env, geost_data *b);
/* The first sbox of shape sid, or -1. */
int geost_first_sbox(const geost_data *b, int sid);

/* The region table of one call: allocated for nregions slots, freed at the call's end. */
void geost_fr_alloc(ORVALIS_API_STRUCT *env, geost_data *b);
void geost_fr_free(ORVALIS_API_STRUCT *env, geost_data *b);

typedef int (*geost_cont)(ORVALIS_API_STRUCT *env, geost_data *b, int *region);

void expand_regions(ORVALIS_API_STRUCT *env, geost_data *b);
int store_region(ORVALIS_API_STRUCT *env, geost_data *b, int fresh, int object, int subsumption);
int relative_cont(ORVALIS_API_STRUCT *env, geost_data *b, int *region);
int absolute_cont(ORVALIS_API_STRUCT *env, geost_data *b, int *region);
void bb_init(geost_data *b, int bb);
void bb_add_object(ORVALIS_API_STRUCT *env, geost_data *b, int bb, int object);
int sbox_intersects_region(const geost_data *b, const dvar *dv, int s, int r);
int fr_intersects_object(ORVALIS_API_STRUCT *env, geost_data *b, int r, int object);
int useful_relative_fr(const geost_data *b, int o, int e, int j);
int relative_fr(ORVALIS_API_STRUCT *env, geost_data *b, int object, int *region, geost_cont cont);
void all_relative_fr(ORVALIS_API_STRUCT *env, geost_data *b, int fixall);

/* Volumes. A volume that would reach 0x7ffffffb sets overflow instead of wrapping. */
/* The volume of shape sid placed at the object's origin lower bounds inside region bb; with
 * bb = -1 the union volume of the shape. */
int32_t intersection_volume(ORVALIS_API_STRUCT *env, geost_data *b, int bb, int object, int sid);
/* The sbox volumes, svolume (union) and tvolume (sum) of the shape whose first sbox is f. */
void shape_volume(ORVALIS_API_STRUCT *env, geost_data *b, int f);
/* The least intersection_volume over the object's shapes, 0x7fffffff for an empty domain. */
int32_t min_intersection_volume(ORVALIS_API_STRUCT *env, geost_data *b, int bb, int object);
void compute_minmax_vol_sid(ORVALIS_API_STRUCT *env, geost_data *b, int object);
/* The boxes standing for the object in bounding box bb, listed in cumulative_sbox; 0 when the
 * object has no such representation. */
int cumulable(ORVALIS_API_STRUCT *env, geost_data *b, int object, int bb, int dim);
/* Links the volume view to the active objects' shapes: 0 on failure. */
int filter_volume(ORVALIS_API_STRUCT *env, geost_data *b, worker *w);
/* Objects by the union volume of their least shape, larger first. */
int cmp_decr_area(const geost_data *b, const int *x, const int *y);

/* Absolute forbidden regions: boxes of origins of one object in one shape. absolute_fr hands
 * the regions of the corners, the lexicographic bounds, the volume balance and the pallet holes
 * to cont and stores those from other objects' relative regions; 1 when stopped. */
int absolute_fr(ORVALIS_API_STRUCT *env, geost_data *b, worker *w, int object, int sid, int *region,
                geost_cont cont);
/* Clips region r in dimension j to dv[j]'s bounds: whether something is left. */
int useful_absolute_fr(geost_data *b, int r, const dvar *dv, int j);
int gti_fail(ORVALIS_API_STRUCT *env, geost_data *b, int object, int *region, geost_cont cont);
int gti_overfull_frs(ORVALIS_API_STRUCT *env, geost_data *b, int bb, const dvar *dv, int s, int64_t limit,
                     int *minov, int *maxov, int *region, geost_cont cont);
int gti_underfull_frs(ORVALIS_API_STRUCT *env, geost_data *b, int bb, const dvar *dv, int s, int64_t limit,
                      int *minov, int *maxov, int *region, geost_cont cont);
/* The least and the largest overlap in dimension d of intervals of the given sizes placed
 * anywhere inside regions r1 and r2. */
int32_t min_intersection(const geost_data *b, int r1, int r2, const int *size1, const int *size2, int d);
int32_t max_intersection(const geost_data *b, int r1, int r2, const int *size1, const int *size2, int d);
/* The largest overlap in dimension d of sbox s (origin views dv) with region r1 (extents
 * size1); region r0 is scratch. */
int32_t sbox_max_intersection(geost_data *b, const dvar *dv, int s, int r0, int r1, const int *size1, int d);

/* Point tests. A point p (k coordinates) is an origin of the object in shape sid; the answer 1
 * means infeasible, with the slot of a region of infeasible origins holding p through region.
 * opt bit 1 turns the polymorphic hole test on. */
int point_in_some_fr(ORVALIS_API_STRUCT *env, geost_data *b, worker *w, int object, int sid, int opt,
                     const int *p, int *region);
int inside_forbidden(ORVALIS_API_STRUCT *env, geost_data *b, worker *w, const int *p, int object, int sid,
                     int opt, int *region);
int valid_witness(ORVALIS_API_STRUCT *env, geost_data *b, worker *w, int object, int sid,
                  int enable_hole_polymorphic, const int *p);
int point_in_witness(ORVALIS_API_STRUCT *env, const geost_data *b, const int *p, int sid, const int *ori);
int point_in_ground_object(ORVALIS_API_STRUCT *env, const geost_data *b, const int *p, int exception);
int object_is_ground(const geost_data *b, int object);
int geost_decomposable(const geost_data *b, int object);
int inside_forbidden_cont(ORVALIS_API_STRUCT *env, geost_data *b, int *region);
/* x <= y lexicographically from dimension d on, cyclically; ties by tie1 <= tie2. */
int lex_le(int k, const int *x, const int *y, int tie1, int tie2, int d);

/* Rule procedures: a procedure is checked once when loaded (registers, objects, sbox numbers
 * and dimensions in range, jump targets, operand counts, nonzero divisors); only a checked one
 * is run. geost_run_proc answers 1 with the region it made through region. */
int geost_proc_valid(const geost_data *b, const geost_proc *proc);
int geost_run_proc(ORVALIS_API_STRUCT *env, geost_data *b, int object, int sid, const int *p,
                   const geost_proc *proc, int *region);

/* The task operations of an sbox projected on dimension curdim (task id the object, part the
 * sbox); the block is the solver state's gdata. 2 failure, 0 no change, 1 pruned. */
int geost_propagate_method(ORVALIS_API_STRUCT *env, task *t);
void geost_refresh_method(ORVALIS_API_STRUCT *env, task *t, worker *w);
TAGGED geost_set_method(ORVALIS_API_STRUCT *env, task *t, worker *w);
int geost_prune_interval_method(ORVALIS_API_STRUCT *env, task *t, int32_t min, int32_t max, worker *w);
int geost_prune_set_method(ORVALIS_API_STRUCT *env, task *t, TAGGED set, worker *w);
int geost_is_interval_method(ORVALIS_API_STRUCT *env, task *t);
/* Longest holes: 0x3fffffff for no bound. */
int64_t geost_lh_method(ORVALIS_API_STRUCT *env, int64_t sigma, int epsilon, int closed);
int64_t geost_lh_dummy(ORVALIS_API_STRUCT *env, int64_t sigma, int epsilon, int closed);
int32_t get_longest_hole(ORVALIS_API_STRUCT *env, geost_data *b, int dim, int64_t sigma, int epsilon, int closed);
int32_t get_longest_hole_max(ORVALIS_API_STRUCT *env, geost_data *b, int dim, int64_t sigma, int epsilon);
/* The knapsack memo of dimension curdim: msg 1 looks up (1 on a hit, support filled), msg 2
 * stores. */
constexpr int GEOST_DP_LOOKUP = 1, GEOST_DP_STORE = 2;
int geost_dp_hash_method(ORVALIS_API_STRUCT *env, int msg, int32_t *support, int n, int32_t lslack,
                         int32_t rslack, int32_t sslack);
uint32_t geost_dp_key(const int32_t *support, int n, int32_t lslack, int32_t rslack, int32_t sslack);
void dispose_dp_hash(ORVALIS_API_STRUCT *env, geost_data *b);

/* The least slack in low..up at which the longest hole of height eps in dimension d reaches
 * len (sigma + 1 when none). */
int64_t get_minloss(ORVALIS_API_STRUCT *env, geost_data *b, int64_t len, int64_t low, int64_t up, int eps,
                    int64_t sigma, int closed, int d);
int pl_loss(int x, const int *islin);
int pl_reduce_holes2a(int nh, int p, int q, int *holes, const int *islin);
/* Nonzero when the n items (per dimension j: size, earliest start, latest end at entry
 * j*rowlen+i) cannot all be placed apart. */
int parallel_conflict(ORVALIS_API_STRUCT *env, worker *w, int k, int n, int heavy_check, const int32_t *sizes,
                      const int32_t *earliest, const int32_t *latest, int rowlen, size_mem *held);

/* Removes the flush positions against bounding box 1's low (leftp) or high border of the
 * unique shortest flush sbox of a dimension whose neighbours cannot fill its side: the change
 * mask, negative on failure. */
int init_avoid_holes_border(ORVALIS_API_STRUCT *env, geost_data *b, worker *w, int leftp);

/* How far an sbox of length len can reach, in the other dimension, into the interval
 * first..last of length size_interval of dimension d (hmax without longest holes). */
int64_t get_max_penetration(ORVALIS_API_STRUCT *env, geost_data *b, int64_t size_interval, int64_t first,
                            int64_t last, int64_t len, int64_t hmax, int object, int sbox, int d);
/* Removes val1 and val2 from the object's origin in d when the other sboxes cannot fill the
 * area surf of the gap of length e beside sbox s: the change mask, negative on failure. */
int compute_max_surf_in_gap_before_task(ORVALIS_API_STRUCT *env, geost_data *b, worker *w, int64_t first,
                                        int64_t last, int d, int object, int s, int64_t e, int32_t val1,
                                        int32_t val2, int64_t surf);

/* Comparators for fd_qsort: value ascending; x then y ascending; key, object, sbox ascending;
 * region slots dimension by dimension, origin descending then end ascending. */
int cmp_value_index(const geost_value_index *x, const geost_value_index *y);
int cmp_asc_pair(const geost_lpair *x, const geost_lpair *y);
int cmp_geost_event(const geost_event *x, const geost_event *y);
int cmp_region(const geost_data *b, const int *x, const int *y);

/* ---- initialisation steps ---- */
/* Corner tests: removes origins whose gaps to the borders of bounding box 1 no other sboxes can
 * fill exactly; the change mask, negative on failure. */
int init_border_check(ORVALIS_API_STRUCT *env, geost_data *b, worker *w);
/* Builds the longest-hole tables of every dimension: 1, or 0 when the tables prove failure. */
int init_longest_holes(ORVALIS_API_STRUCT *env, geost_data *b, worker *w);
/* Removes origins that leave a gap nothing can fill: the change mask, negative on failure. */
int init_avoid_holes(ORVALIS_API_STRUCT *env, geost_data *b, worker *w);
/* Pallet recognition and the first pallet tests: 1, or 0 on failure. */
int pl_init(ORVALIS_API_STRUCT *env, geost_data *b, worker *w);
/* 1, or 0 when the decomposable objects' sboxes cannot be placed apart. */
int check_wrt_parallel_conflict(ORVALIS_API_STRUCT *env, geost_data *b, worker *w);
/* The change mask of the floating vis-a-vis pass, -1 on failure. */
int floating_visavis(ORVALIS_API_STRUCT *env, geost_data *b, worker *w);
/* The surface that the other sboxes must take in bounding box 1 beyond sbox s of the object
 * (placed with gaps e1, e2 beside it in d and e3 left in the other dimension) exceeds surf, or
 * (parconflict) their parts there cannot lie apart: val1 and val2 go. The gaps' positions are
 * first1..last1 and first2..last2, or unknown when first1 > last1. The change mask. */
int compute_min_surf_used_on_top_of_task(ORVALIS_API_STRUCT *env, geost_data *b, worker *w, int64_t first1,
                                         int64_t last1, int64_t first2, int64_t last2, int32_t *sizes,
                                         int32_t *earliest, int32_t *latest, int rowlen, int d, int object, int s,
                                         int64_t e1, int64_t e2, int64_t e3, int32_t val1, int32_t val2, int64_t surf);
/* The gap tests of the placement val with gap e1 before sbox s and e2 after it: the change mask. */
int init_avoid_holes_middle_heavy(ORVALIS_API_STRUCT *env, geost_data *b, worker *w, int32_t *sizes,
                                  int32_t *earliest, int32_t *latest, int rowlen, int d, int object, int s,
                                  int64_t e1, int64_t e2, int64_t e3, int32_t val, int64_t surf1, int64_t surf2,
                                  int64_t surftop);
/* Whether the sbox covers some cells in every placement of the object. */
bool compulsory_part_in_all_dimensions(const geost_data *b, int object, int sbox);
/* Whether the reach of sbox s (origin views dv) meets or touches region fr1. */
bool sbox_connects_region(const geost_data *b, const dvar *dv, int s, int fr1);
/* The prunings of object2's origin in the dimension other than d that the gap or the facing
 * length between sbox1 and sbox2 along d forbids: the change mask, -1 on failure. */
int floating_visavis_prune(ORVALIS_API_STRUCT *env, geost_data *b, worker *w, int object1, int sbox1, int object2,
                           int sbox2, int d);
/* The largest height whose best hole in dim is shorter than epsilon, -1 for no bound. */
int32_t get_longest_hole_inv(ORVALIS_API_STRUCT *env, geost_data *b, int dim, int64_t sigma, int epsilon);

/* ---- fixall placement and redundant checks ---- */
/* Test hook: the number of times fixall built an object's regions anew. */
extern long fd_geost_fixall_regenerations;
/* Places every active object at the first feasible point of its fixall group: 1, or 0. */
int fixall_geost(ORVALIS_API_STRUCT *env, geost_data *b, worker *w);
/* 0 nothing pruned, 1 pruned, 2 or 3 failure. */
int check_cumulative(ORVALIS_API_STRUCT *env, geost_data *b, worker *w);
/* 1 when n rectangles a x b cannot fill the x by y pallet by colouring, else 0 (recording the
 * possible hole cells in blk when given). */
int pl_color(ORVALIS_API_STRUCT *env, int n, int x, int y, int a, int bsz, const int *islin, geost_data *blk);
/* The entry's pallet tests of one pass (hole covering, convex-hull waste, the counting bounds and
 * the colouring): 1, or 0 on failure. */
int pl_entry_tests(ORVALIS_API_STRUCT *env, geost_data *b, worker *w);

/* ---- hole test of the sweep ---- */
/* Whether placing the object (its shape view fixed) at origin p leaves a gap that nothing can
 * fill: 1 with region T (fr.top_of_stack) the single point p, stored through region. Slots T+1
 * and T+2 are scratch; the table grows to hold them. */
int point_makes_hole(ORVALIS_API_STRUCT *env, geost_data *b, worker *w, int object, const int *p,
                     int *region);
/* The gap between region r0 and bounding box 1 on face (d, side) into slot r1: its length in d
 * and its volume (0 when the gap is empty). Always 1. */
int vis_a_vis_border(geost_data *b, int r0, int r1, int d, int side, int *size, int *vol);
/* 1 when r0 and r1 overlap in every dimension but one, d: the box between them into slot r2,
 * side 1 when r0 lies below r1 in d, its length in d and its volume. Otherwise 0, with d -1
 * when no dimension separates them and the first separating one when several do. */
int vis_a_vis(geost_data *b, int r0, int r1, int r2, int *d, int *side, int *size, int *vol);
/* The length in d that the sbox of obj can cover inside region r1: an active object's whole
 * size when some origin of its domain places it inside r1, a placed one's part inside bounding
 * box 1 when that part lies inside r1; else 0. */
int32_t sbox_max_intersection_inside(ORVALIS_API_STRUCT *env, geost_data *b, worker *w,
                                     int is_target, int obj, int sbox, int r1, int d);
/* Test hook: called with the border case (0 to 15) of every corner test that gets that far. */
extern void (*geost_corner_case_hook)(int border_case);
/* The sboxes that can fall into gap region gap (extents ext): their number, with min and max the
 * sums of their least and greatest overlaps with it (max stops growing once vol is reached). */
int visavis_fill(ORVALIS_API_STRUCT *env, geost_data *b, int gap, const int *ext, int d, int curobj,
                 int cursbox, int all, int64_t *min, int64_t *max, int64_t vol);

/* ---- filter loop, entry, daemon ---- */
/* The daemon's frame of one watched variable: the block and the variable's first reference
 * (object o's shape at (2k+4)o, its origin in d at (2k+4)o+2+2d; after the objects the fix switch,
 * the volume, the lower and the upper corners). The frames follow the block's arrays. */
struct geost_frame {
  daemon_frame frame; /* no destructor: the block's own frees it */
  geost_data *block;
  int ref;
};
geost_frame *geost_frames(geost_data *b);

/* The filter loop over target[0 .. ntodo-1]: 0 nothing pruned, 1 pruned, 2 or more failure. */
int filter_geost(ORVALIS_API_STRUCT *env, geost_data *b, worker *w, int ntodo, int enable_hole_polymorphic);
/* The sweep of one object in shape sid (monomorphic: its own views, else the virtual object's):
 * -1 failure, 0 nothing pruned, 1 pruned. */
int filter_object_for_shape(ORVALIS_API_STRUCT *env, geost_data *b, worker *w, int object, int sid,
                            int enable_hole_polymorphic, int monomorphic);
/* Bounding boxes, slack and, on the first initialisation, the option edits and the initial
 * tests: 1, or 0 on failure. */
int geost_init(ORVALIS_API_STRUCT *env, geost_data *b, worker *w, int first);
int geost_daemon(ORVALIS_API_STRUCT *env, worker *w, void *frame, TAGGED *attr_ref, TAGGED global);
void geost_destructor(void *block);
/* Witnesses in the mutables: whether the list held differs from the n values; the list to
 * overwrite (the one held when younger than the newest choicepoint, else a fresh one put in the
 * mutable; may collect); the object's two witness lists brought up to date. */
int witness_differs(const int *witness, TAGGED mutable_term, int n);
TAGGED witness_target(ORVALIS_API_STRUCT *env, worker *w, QX_globref mutable_ref, int n);
void store_witnesses(ORVALIS_API_STRUCT *env, geost_data *b, worker *w, int object);

#endif
