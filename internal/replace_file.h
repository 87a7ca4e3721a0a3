// Replacing a file in one step, for the writers of both libraries (the
// configuration store's setter, the metrics file). Not installed; nothing
// here is exported: the unit is compiled into each library hidden.
#ifndef OBJSTORE_INTERNAL_REPLACE_FILE_H_
#define OBJSTORE_INTERNAL_REPLACE_FILE_H_

#include <sys/stat.h>
#include <sys/types.h>

#include <string>
#include <string_view>

namespace objstore_internal {

// The step at which a replacement failed; each writer words its own message.
enum class ReplaceStep {
  kDone,             // replaced
  kCreateTemporary,  // no temporary file beside the target (nothing was changed)
  kKeepOwner,        // the temporary could not be given the old file's owner and group
  kWrite,            // writing, syncing or renaming the temporary failed
};

// Replaces the file at `path` with `data`: a temporary file is written in
// the same directory, synced and renamed over `path`, so that a reader sees
// the old file or the new one, never one half written. The new file gets
// `mode`, and the owner and group of `previous` unless that is null. The
// directory is synced after the rename through `dirFd` (the directory of
// `path` open already), or through a descriptor of its own when that is -1;
// a failure of that sync is not one of the replacement.
//
// Returns 0, or the errno value of the step named in *failed; on failure no
// temporary file is left and `path` is as it was.
int replaceFile(const std::string& path, std::string_view data, mode_t mode,
                const struct stat* previous, int dirFd, ReplaceStep* failed);

}  // namespace objstore_internal

#endif  // OBJSTORE_INTERNAL_REPLACE_FILE_H_
