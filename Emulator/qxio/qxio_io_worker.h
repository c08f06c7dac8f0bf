/* Worker threads of the thread-backed device: each works through a queue of requests (reads,
   writes, descriptor operations) and publishes them, done, on a second queue, from which the
   stream's thread collects them. Internal to the device layer. */
#ifndef QXIO_IO_WORKER_H
#define QXIO_IO_WORKER_H

#include "qxio_internal.h"

typedef struct qxio_t_io_request qxio_t_io_request;
typedef struct qxio_t_io_worker qxio_t_io_worker;

/* The operations of a request kind. do_fun runs on the worker and answers 1 to go on or 2 to
   end the worker; pre_finished_fun runs on the worker before the request is published;
   post_finished_fun runs on the stream's thread when it is collected and answers
   IO_REQUEST_KEEP to keep the request, else it is freed. */
typedef struct qxio_t_io_request_funcs {
  int (*do_fun)(qxio_t_io_request *request);
  void (*free_fun)(qxio_t_io_request *request);
  qxio_t_error_code (*get_error_fun)(qxio_t_io_request *request);
  void (*pre_finished_fun)(qxio_t_io_request *request);
  int (*post_finished_fun)(qxio_t_io_request *request);
} qxio_t_io_request_funcs;

#define IO_REQUEST_KEEP 2
#define IO_WORKER_QUIT 2

/* Request status codes. */
#define IO_STATUS_FAILED QXIO_S_OPERATION_FAILED /* os_error holds the errno */
#define IO_STATUS_QUEUED QXIO_S_PRIVATE_ERROR_1
#define IO_STATUS_EXECUTING QXIO_S_PRIVATE_ERROR_2
#define IO_STATUS_EXECUTED QXIO_S_PRIVATE_ERROR_3
#define IO_STATUS_FINISHED QXIO_S_PRIVATE_ERROR_4
#define IO_STATUS_SKIPPED QXIO_S_PRIVATE_ERROR_5    /* the worker's error latch was set */
#define IO_STATUS_READ_ENDED QXIO_S_PRIVATE_ERROR_6 /* end of file (os_error 0) or an error */

/* Request flags. */
#define IO_REQUEST_SYNCHRONOUS 0x1u
#define IO_REQUEST_FAILED_WRITE 0x2u /* awaiting the latch reset */
#define IO_REQUEST_WORKER_EVENT 0x4u /* the event is the worker's, not freed with the request */
#define IO_REQUEST_SEQUENTIAL 0x10u
#define IO_REQUEST_REGULAR_FILE 0x20u
#define IO_REQUEST_SHUT_READ 0x40u
#define IO_REQUEST_SHUT_WRITE 0x80u
#define IO_REQUEST_SHUT_ABORTIVE 0x100u
#define IO_REQUEST_COST_COUNTED 0x1000u /* its unwritten bytes are in pending_cost */
#define IO_REQUEST_PUBLISHED 0x2000u    /* on finished: set under the finished lock */

struct qxio_t_io_request {
  const qxio_t_io_request_funcs *funcs;
  qxio_t_queue_entry queue_entry;
  qxio_t_io_worker *worker;
  void *cookie; /* a simple request's operation; a read's completed_reads queue */
  qxio_t_error_code code;
  qxio_t_buf buf; /* the bytes to write, or the bytes read */
  uint32_t flags;
  int os_error;
  int64_t file_pos;
  size_t buf_offset; /* bytes of buf already written */
  int hFile;
  qxio_t_event *event; /* set when the request finishes */
  size_t cost;         /* bytes counted in the worker's pending_cost */
  uint32_t generation; /* reads: the layer's write generation when issued */
};

typedef enum qxio_t_io_worker_state {
  QXIO_IO_WORKER_STATE_INVALID_ = 0,
  QXIO_IO_WORKER_STATE_NONE_ = 1,
  QXIO_IO_WORKER_STATE_WAITING_ = 2,
  QXIO_IO_WORKER_STATE_RUNNING_ = 3,
  QXIO_IO_WORKER_STATE_QUITTING_ = 4
} qxio_t_io_worker_state;

#define IO_WORKER_ERROR_LATCH 0x1u

/* todo and high_prio are guarded by todo_mutex, pending_cost by the finished queue's lock;
   when both locks are needed the finished lock is taken first. */
struct qxio_t_io_worker {
  qxio_t_queue *todo;     /* without a lock of its own */
  qxio_t_queue *finished; /* with its own mutex and not-empty condition */
  qxio_t_io_request *current;
  qxio_t_task *task;
  int exiting; /* set by the thread's clean-up */
  uint32_t worker_flags;
  qxio_t_io_worker_state state;
  qxio_t_mutex *todo_mutex;
  qxio_t_cond_var *todo_cond;
  int high_prio;
  qxio_t_io_request *reset_error_request;
  qxio_t_event *event; /* write worker: room for output; read worker: results may wait */
  size_t unfinished;   /* issued and not yet collected (stream's thread only) */
  size_t pending_cost;
  size_t pending_cost_max;
  uint32_t progress; /* counts publications and written pieces (atomic) */
};

/* A simple request's operation: runs on the worker, records a failure in the request. */
typedef struct qxio_t_io_simple_operation {
  int (*run)(qxio_t_io_request *request);
} qxio_t_io_simple_operation;

extern const qxio_t_io_request_funcs qxio_io_write_request_funcs;
extern const qxio_t_io_request_funcs qxio_io_read_request_funcs;
extern const qxio_t_io_simple_operation qxio_io_fsync_operation;
extern const qxio_t_io_simple_operation qxio_io_close_operation;
extern const qxio_t_io_simple_operation qxio_io_shutdown_operation;

qxio_t_error_code qxio_io_worker_init(qxio_t_io_worker *worker);
/* Ends the thread (an idle one by a quit request, a busy one by cancellation, never waiting
   behind a blocked call) and frees the worker's queues and requests. */
void qxio_io_worker_deinit(qxio_t_io_worker *worker);
qxio_t_error_code qxio_io_worker_ensure_thread(qxio_t_io_worker *worker);
/* Drops every queued request and kills a thread that is executing one. */
void qxio_io_worker_empty(qxio_t_io_worker *worker);
/* 1 while the worker has a live thread. */
int qxio_io_worker_running(qxio_t_io_worker *worker);

/* A new request of the kind with the status, flags and fields of a fresh one. */
qxio_t_io_request *qxio_io_request_new(qxio_t_io_worker *worker,
                                       const qxio_t_io_request_funcs *funcs);
void qxio_io_request_free(qxio_t_io_request *request);
/* Queues a request; option IO_ISSUE_HIGH wakes the worker at once, IO_ISSUE_LOCKED says the
   caller holds todo_mutex: then nothing is woken, and the answer says whether the caller must
   call qxio_io_wake once it has released the lock. */
#define IO_ISSUE_HIGH 0x1u
#define IO_ISSUE_LOCKED 0x2u
bool qxio_io_issue(qxio_t_io_worker *worker, qxio_t_io_request *request, uint32_t options);
/* Wakes the worker's thread to look at todo again. */
void qxio_io_wake(qxio_t_io_worker *worker);

/* Collects finished requests. Answers the number of re-issued writes, or the error of a failed
   request (a non-abortive collection stops at the first). */
qxio_t_error_code qxio_io_collect(qxio_t_io_worker *worker, bool abortive);
/* Waits until every write queued so far is done; abortive with QXIO_ABORTIVE_WRITE_CANCEL
   drops them instead. */
qxio_t_error_code qxio_io_barrier(qxio_t_io_worker *worker, bool abortive);
/* Runs a simple operation on the worker and waits for it; answers its error. Options: the
   request flags of a shutdown. */
qxio_t_error_code qxio_io_run_simple(qxio_t_io_worker *worker, int fd,
                                     const qxio_t_io_simple_operation *operation, uint32_t flags);
/* Waits for an event; QXIO_E_INTERRUPTED when an interrupt cuts the wait of the main thread. */
qxio_t_error_code qxio_io_wait(qxio_t_event *event);
/* The worker's progress count, to be given to qxio_io_wait_progress. */
uint32_t qxio_io_progress(qxio_t_io_worker *worker);
/* Waits for the worker's event, first watching for a short while, without sleeping, for the
   progress count to move on from `seen`: a result that is due soon is taken without the cost
   of putting the thread to sleep and waking it again. Answers as qxio_io_wait. */
qxio_t_error_code qxio_io_wait_progress(qxio_t_io_worker *worker, uint32_t seen);

/* Whether an abortive barrier drops queued writes (QXIO_ABORTIVE_WRITE_CANCEL). */
void qxio_io_set_abortive_write_cancel(int cancel);

#endif
