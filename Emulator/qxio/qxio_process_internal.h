/* Internal switches of the child-process family, for its tests. */
#ifndef QXIO_PROCESS_INTERNAL_H
#define QXIO_PROCESS_INTERNAL_H

/* How a new child closes the descriptors it inherited: close_range, falling back to listing
   /proc/self/fd with getdents64 where the system lacks it (QXIO_CHILD_CLOSE_RANGE), or the
   listing only (QXIO_CHILD_CLOSE_LISTING). */
enum qxio_t_child_close_method { QXIO_CHILD_CLOSE_RANGE = 0, QXIO_CHILD_CLOSE_LISTING = 1 };
extern qxio_t_child_close_method qxio_child_close_method;

/* Number of children remembered for later reaping. */
size_t qxio_process_unreaped_count(void);

#endif
