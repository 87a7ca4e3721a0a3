// The host's log writer and the one way the library writes a message.
//
// The host owns the writer: it installs it in g_ptrLogWriter before its first
// call into the library and keeps it there until its last call returns. The
// library only asks the writer for its level and hands it formatted messages.
#ifndef OBJSTORE_HOST_LOGWRITER_H_
#define OBJSTORE_HOST_LOGWRITER_H_

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>

#include <boost/shared_ptr.hpp>

#include "host/Export.h"

class OBJSTORE_API CLogWriterInterface {
 public:
  virtual ~CLogWriterInterface();

  // Writes one message. `function` is the calling operation's signature text;
  // the library passes 0 for both reserved arguments.
  virtual void logMessage(int level, const char* function, int line, int reserved1, int reserved2,
                          const char* format, ...) __attribute__((format(printf, 7, 8))) = 0;

  // The writer's current level: a message of level L is written when L <= it.
  virtual int getLogLevel() = 0;
};

// Defined by the host library; empty until the host installs a writer.
extern OBJSTORE_API boost::shared_ptr<CLogWriterInterface> g_ptrLogWriter;

// A ready writer for hosts, tools and examples. Writes one line per message,
//   "2026-12-08 10:11:12.345 -1 int f(int):42 text"
// to stderr or to a file. Safe to call from several threads at once.
//
// A file is opened for appending, so rotation by copy and truncation
// (logrotate's copytruncate) needs nothing from the host. For rotation by
// rename (logrotate's create), the host calls reopen() once the file has been
// renamed, usually on SIGHUP. The writer installs no signal handler: signals
// belong to the host. A host blocks SIGHUP before it starts its threads and
// waits for it on one of its own (sigwait or signalfd), which then calls
// reopen(); reopen() takes a lock and opens a file, so it must not be called
// from a signal handler.
class OBJSTORE_API CStreamLogWriter : public CLogWriterInterface {
 public:
  // Writes to stderr.
  explicit CStreamLogWriter(int level);
  // Appends to `path`; if it cannot be opened, falls back to stderr (see ok()).
  CStreamLogWriter(int level, const std::string& path);
  ~CStreamLogWriter() override;

  CStreamLogWriter(const CStreamLogWriter&) = delete;
  CStreamLogWriter& operator=(const CStreamLogWriter&) = delete;

  void logMessage(int level, const char* function, int line, int reserved1, int reserved2,
                  const char* format, ...) override __attribute__((format(printf, 7, 8)));
  int getLogLevel() override;
  void setLogLevel(int level);

  // Opens the constructor's path again, creating the file if it is gone, and
  // writes every later message there; a message being written meanwhile goes
  // whole to the old file or to the new one. Returns 0, or the errno value of
  // the failed open: the writer then keeps its present destination and, if
  // its level allows errors, says so there. A writer on stderr has nothing to
  // reopen and returns 0.
  int reopen();

  // False while the file given to the constructor could not be opened (the
  // writer then writes to stderr); a successful reopen() makes it true.
  bool ok() const { return opened_ok_.load(std::memory_order_relaxed); }

  // The file given to the constructor; empty for the stderr writer.
  const std::string& path() const { return path_; }

  // The errno value of the failed open, or of the first line that could not
  // be written; 0 while every line has arrived.
  int error();

  // Flushes and closes a file the writer opened (a writer on stderr only
  // flushes); later messages are dropped. Returns 0 when every line reached
  // its destination, else the errno value of the first line or close that
  // failed, so that a program can fail rather than lose its log unnoticed.
  int close();

 private:
  const std::string path_;  // empty for the stderr writer
  std::mutex mutex_;        // one line at a time; guards out_, owns_out_ and level_
  FILE* out_;
  bool owns_out_;
  std::atomic<bool> opened_ok_;
  int level_;
  int write_error_ = 0;  // failed open, first failed write or close; guarded by mutex_
  bool closed_ = false;  // after close(): messages are dropped
};

// Log sites. Every message but one goes through OBJSTORE_LOG: the level is
// asked first, and the arguments (strerror(errno) among them) are evaluated
// only when the message is written. With no writer installed nothing is
// written and nothing is evaluated.
//
// The writer is fetched again for the write, on purpose: the library keeps no
// copy of it, so the write goes to whatever writer is installed by then (one
// the host swapped in after the level query), and is dropped if it is gone.
#define OBJSTORE_LOG(level, signature, ...)                                               \
  do {                                                                                    \
    if (CLogWriterInterface* objstore_writer_ = g_ptrLogWriter.get()) {                   \
      if (objstore_writer_->getLogLevel() >= (level)) {                                   \
        if (CLogWriterInterface* objstore_again_ = g_ptrLogWriter.get())                  \
          objstore_again_->logMessage((level), (signature), __LINE__, 0, 0, __VA_ARGS__); \
      }                                                                                   \
    }                                                                                     \
  } while (0)

// The one message that skips the level query: the writer receives it whatever
// its level. Still dropped when no writer is installed.
#define OBJSTORE_LOG_ALWAYS(level, signature, ...)                                     \
  do {                                                                                 \
    if (CLogWriterInterface* objstore_writer_ = g_ptrLogWriter.get())                  \
      objstore_writer_->logMessage((level), (signature), __LINE__, 0, 0, __VA_ARGS__); \
  } while (0)

#endif  // OBJSTORE_HOST_LOGWRITER_H_
