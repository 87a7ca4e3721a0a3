// Where `osutil perf --textfile PATH` puts the counters, decided by what PATH
// names, so that the atomic replacement meant for a collector's file never
// turns a device, a FIFO or a link into a regular file.
#ifndef OBJSTORE_TOOLS_OSUTIL_COLLECTOR_FILE_H_
#define OBJSTORE_TOOLS_OSUTIL_COLLECTOR_FILE_H_

#include <string>

namespace osutil {

// Writes the counters in the Prometheus text format to `path`:
//   a regular file, or nothing yet   replaced atomically (writePerfMetricsFile)
//   a symbolic link                  followed to the file it ends at, which is
//                                    replaced atomically in its own directory;
//                                    the link stays a link
//   a character device               written in place (/dev/null, a terminal)
//   anything else                    refused and left as it was: a FIFO, a
//                                    socket, a block device, a directory
// Returns an empty text, or the message for the user.
std::string writeCollectorFile(const std::string& path);

}  // namespace osutil

#endif  // OBJSTORE_TOOLS_OSUTIL_COLLECTOR_FILE_H_
