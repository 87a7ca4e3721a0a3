// A walk down a path one component at a time through directory descriptors,
// for paths the system refuses whole (PATH_MAX and longer): each component
// is named relative to a descriptor of the directory above it, so the
// path's length never reaches the system. Shared by createDir and osutil's
// `fs exists`. Not installed; nothing here is exported.
//
// Invariants: the walk holds one descriptor (the directory at hand; none
// while that is the working directory), two only while entering the next
// one, and closes it when it ends; it allocates nothing (a component's name
// has a buffer of NAME_MAX + 1 bytes); directories are entered as path
// resolution enters them (links followed, search permission only); once it
// has failed, it stays failed and moves no further.
#ifndef OBJSTORE_INTERNAL_PATH_WALK_H_
#define OBJSTORE_INTERNAL_PATH_WALK_H_

#include <climits>

namespace objstore_internal {

class PathWalk {
 public:
  // Starts at "/" for an absolute path, at the working directory otherwise.
  explicit PathWalk(const char* path);
  ~PathWalk();
  PathWalk(const PathWalk&) = delete;
  PathWalk& operator=(const PathWalk&) = delete;

  // Moves to the next component: true with name() set; false at the end of
  // the path (nothing but separators left) and after a failure.
  bool next();
  // The component at hand, and the directory that holds it: a descriptor,
  // or AT_FDCWD for the working directory.
  const char* name() const { return name_; }
  int dirFd() const { return dir_fd_; }
  // Whether name() is the last component, and whether a '/' follows it (a
  // last component must then be a directory).
  bool last() const;
  bool slashFollows() const { return *rest_ == '/'; }

  // Makes name() the directory at hand; false after a failure.
  bool enter();
  // Stops the walk with `error` (an errno value).
  void fail(int error) { error_ = error; }
  // 0, or the errno value of the failure: ENAMETOOLONG for a component
  // longer than NAME_MAX, or that of opening a directory or of fail().
  int error() const { return error_; }

 private:
  const char* rest_;  // what follows name()
  int dir_fd_;
  int error_ = 0;
  char name_[NAME_MAX + 1] = {};
};

}  // namespace objstore_internal

#endif  // OBJSTORE_INTERNAL_PATH_WALK_H_
