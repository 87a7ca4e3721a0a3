// Signature text of the probes' log lines, shared with the tests. Not
// installed.
#ifndef OBJSTORE_OBJSTORE_PROBES_INTERNAL_H_
#define OBJSTORE_OBJSTORE_PROBES_INTERNAL_H_

namespace ObjectStore {

constexpr char kIsRpcbindRunningSignature[] = "bool ObjectStore::isRpcbindRunning()";

}  // namespace ObjectStore

#endif  // OBJSTORE_OBJSTORE_PROBES_INTERNAL_H_
