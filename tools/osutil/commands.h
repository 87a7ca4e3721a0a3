// The command families of osutil. Each takes the arguments that follow its
// name, returns an exit status and throws UsageError for bad usage.
#ifndef OBJSTORE_TOOLS_OSUTIL_COMMANDS_H_
#define OBJSTORE_TOOLS_OSUTIL_COMMANDS_H_

#include "tools/osutil/cli.h"

namespace osutil {

int runGuid(const Args& args);
int runBase64(const Args& args);
int runPath(const Args& args);
int runTokenize(const Args& args);
int runFs(const Args& args);
int runRegistry(const Args& args);
int runProbe(const Args& args);
int runCache(const Args& args);
int runPerf(const Args& args);

}  // namespace osutil

#endif  // OBJSTORE_TOOLS_OSUTIL_COMMANDS_H_
