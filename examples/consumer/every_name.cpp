// Includes every installed header and uses every function, variable and
// member they offer callers: takes its address, calls it, or (for
// constructors, destructors and virtual members) makes the call that
// references it. Linking this program against an installed tree therefore
// proves that the libraries export whatever the headers promise; a name they
// do not export fails the link with "undefined reference". Inline functions
// and templates are used as well, so that whatever they call must link too.
//
// tools/every-name-check.sh keeps the program complete: it fails when an
// installed header is not included here or declares a name not used here.
// Nothing with an effect outside the process runs.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include <boost/make_shared.hpp>

#include "cache/mem_cache.h"
#include "cache/two_key_cache.h"
#include "codec/base64.h"
#include "host/Directory.h"
#include "host/Error.h"
#include "host/Export.h"
#include "host/Locks.h"
#include "host/LogWriter.h"
#include "host/MediaManager.h"
#include "host/Network.h"
#include "host/PerfCounter.h"
#include "host/PlatformInfo.h"
#include "objstore/config.h"
#include "objstore/fs.h"
#include "objstore/guid.h"
#include "objstore/objStrUtils.h"
#include "objstore/paths.h"
#include "objstore/probes.h"
#include "perf/objectStorePerf.h"
#include "perf/perfMetrics.h"

namespace {

int g_names = 0;

// Hands the optimiser `value` as used, so that the address it holds, and
// with it the reference to the symbol behind it, survives any optimisation.
template <typename T>
void Keep(const T& value) {
  __asm__ __volatile__("" : : "r"(&value) : "memory");
  ++g_names;
}

// A writer of the host's own: its vtable and destructor reach the base's.
class NullWriter final : public CLogWriterInterface {
 public:
  void logMessage(int, const char*, int, int, int, const char*, ...) override {}
  int getLogLevel() override { return -1; }
};

void CacheNames() {
  Keep(&generic_cache_init_cache);
  Keep(&generic_cache_del_cache);
  Keep(&generic_cache_get_stats);
  Keep(&generic_cache_remove_all);
  Keep(&generic_cache_find_element_with_key1);
  Keep(&generic_cache_find_element_with_key2);
  Keep(&generic_cache_visit_element_with_key1);
  Keep(&generic_cache_visit_element_with_key2);
  Keep(&generic_cache_visit_and_update_pos_with_key1);
  Keep(&generic_cache_visit_and_update_pos_with_key2);
  Keep(&generic_cache_delete_with_key1);
  Keep(&generic_cache_delete_with_key2);
  Keep(&generic_cache_update_pos_with_key1);
  Keep(&generic_cache_update_pos_with_key2);
  Keep(&generic_cache_update_with_key1);
  Keep(&generic_cache_update_with_key2);
  Keep(&generic_cache_rename_all_key1_if);
  Keep(&generic_cache_rename_all_key2_if);
  Keep(&generic_cache_dump_cache);
  Keep(&generic_cache_hash_strong);
  Keep(&generic_cache_hash_strong_cis);
  Keep(&generic_cache_get_bucket_stats);

  // Every member of the template, instantiated here.
  objstore::TwoKeyCache<std::string> cache(1 << 16, 64, objstore::KeyCase::kSensitive,
                                           objstore::KeyCase::kInsensitive,
                                           objstore::KeyHash::kStrong);
  const auto value = std::make_shared<std::string>("v");
  cache.insert("/a/x", value, 1);
  cache.insert("/a/y", "Y", value, 1);
  const std::string key("/a/x");
  Keep(cache.get(objstore::key_ref(key), objstore::Recency::kPromote));
  Keep(cache.get_by_key2(objstore::key_ref("y")));
  cache.visit(std::string_view("/a/x"), [](const std::string&) {});
  cache.visit_by_key2("Y", [](const std::string&) {});
  Keep(cache.touch("/a/x") && cache.touch_by_key2("Y"));
  Keep(cache.rename_prefix("/a", "/b"));
  Keep(cache.erase("/b/x") && cache.erase_by_key2("Y"));
  Keep(cache.stats());
  objstore::TwoKeyCache<std::string> moved(std::move(cache));
  cache = std::move(moved);
  cache.clear();
}

void HostNames() {
  Keep(&CWyDirectory::Create);

  const FXCodeLocation location(__FILE__, "void HostNames()", __LINE__);
  const CWyError error(-1, nullptr);
  Keep(&CWyError::Success);
  Keep(&CWyError::IsError);
  Keep(&CWyError::GetErrorCode);
  Keep(&CWyError::GetErrorMessage);
  Keep(&CWyError::GetSourceFile);
  Keep(&CWyError::GetFunction);
  Keep(&CWyError::GetLine);
  Keep(&CWyError::GetDetails);
  Keep(&CWyError::kUnknownErrorCode);
  Keep(&FXErrorUtil::ErrorErrNo);
  Keep(&FXErrorUtil::GetErrNo);
  Keep(location);
  Keep(error);

  ZqComplexLock lock;
  Keep(&ZqComplexLock::rdlock);
  Keep(&ZqComplexLock::rwlock);
  Keep(&ZqComplexLock::unlock);
  ZqCriticalSectionH section;
  Keep(&ZqCriticalSectionH::enter);
  Keep(&ZqCriticalSectionH::leave);

  // Virtual members are reached by qualified calls: a pointer to a virtual
  // member holds a vtable slot, not the function.
  Keep(&g_ptrLogWriter);
  NullWriter null_writer;
  CStreamLogWriter to_stderr(-1);
  CStreamLogWriter to_file(-1, "/dev/null");
  to_file.CStreamLogWriter::logMessage(-1, "void HostNames()", __LINE__, 0, 0, "%s", "text");
  Keep(to_stderr.CStreamLogWriter::getLogLevel());
  Keep(&CStreamLogWriter::setLogLevel);
  Keep(&CStreamLogWriter::reopen);
  Keep(&CStreamLogWriter::ok);
  Keep(&CStreamLogWriter::path);
  Keep(&CStreamLogWriter::error);
  Keep(&CStreamLogWriter::close);
  OBJSTORE_LOG(-1, "void HostNames()", "%s", "dropped: no writer is installed");
  OBJSTORE_LOG_ALWAYS(-1, "void HostNames()", "%s", "dropped: no writer is installed");

  ZQMMlibInfo media(2);
  Keep(&ZQMMlibInfo::clientType);
  Keep(&ZQMMlibInfo::getCapacityAndFreeSpaceForSubclient);

  CWyIPAddr address;
  Keep(&CWyIPAddr::SetPortNumber);
  Keep(&CWyIPAddr::GetPortNumber);
  Keep(&CWyIPAddr::SetAddressFamily);
  Keep(&CWyIPAddr::GetAddressFamily);
  Keep(&CWyIPAddr::SetHostAddress);
  Keep(&CWyIPAddr::ToSockAddr);
  CWySocket socket;
  Keep(&CWySocket::Socket);
  Keep(&CWySocket::Bind);
  Keep(&CWySocket::Close);
  Keep(&CWySocket::GetHandle);

  EvEvent event;
  Keep(&EvEvent::set);
  Keep(&EvEvent::reset);
  Keep(&EvEvent::isSet);
  Keep(&EvEvent::wait);
  ThrdPerfCounter engine(&event);
  Keep(&ThrdPerfCounter::kMaxCounters);
  Keep(&ThrdPerfCounter::kMaxOpenScopesPerThread);
  Keep(&ThrdPerfCounter::SetInterval);
  Keep(&ThrdPerfCounter::AddPerfCounter);
  Keep(&ThrdPerfCounter::StartPerfCounter);
  Keep(&ThrdPerfCounter::StopPerfCounter);
  Keep(&ThrdPerfCounter::ResetPerfCounters);
  Keep(&ThrdPerfCounter::getStats);

  Keep(&ZQPI_Focus::getFocus);
  ZQPlatformInfo store;
  Keep(&ZQPlatformInfo::kValueTypeText);
  Keep(&ZQPlatformInfo::setFocus);
  Keep(&ZQPlatformInfo::focus);
  Keep(&ZQPlatformInfo::storePath);
  Keep(&ZQPlatformInfo::getString);
  Keep(&ZQPlatformInfo::getRegValue);
  Keep(&ZQPlatformInfo::setString);
  Keep(&ZQPlatformInfo::setValue);
  Keep(&ZQPlatformInfo::checkFile);
}

void ObjectStoreNames() {
  Keep(&ObjectStore::getRegistryString);
  Keep(&ObjectStore::getRegistryValue<int>);     // the library's instantiation
  Keep(&ObjectStore::getRegistryValue<double>);  // one of this program's

  Keep(&ObjectStore::createDir);
  Keep(&ObjectStore::doesFileExist);
  Keep(static_cast<int (*)(uint64_t*, uint64_t*, int)>(&ObjectStore::getFileSize));
  Keep(static_cast<int (*)(uint64_t*, uint64_t*, FILE*)>(&ObjectStore::getFileSize));
  Keep(&ObjectStore::rmTree);
  Keep(&ObjectStore::getFreeBytes);

  ObjectStore::ZqCriticalSection section;
  section.enter(true);
  section.leave();
  Keep(&ObjectStore::RandomGenerator);
  Keep(&ObjectStore::generateGuid);

  Keep(&ObjectStore::join);
  Keep(&ObjectStore::splitParentPath);
  Keep(&ObjectStore::tokenize);
  Keep(&ObjectStore::to_hexstring);

  Keep(&ObjectStore::getDiskLibrarySize);
  Keep(&ObjectStore::isRpcbindRunning);

  Keep(&ObjectStore::base64_encode);
  Keep(&ObjectStore::base64_decode);

  // The scopes are inline and reach the engine's out-of-line operations.
  Keep(&ObjectStore::g_object_store_enable_perf);
  Keep(&ObjectStore::g_object_store_counter);
  Keep(&ObjectStore::InitPerfCounters);
  Keep(&ObjectStore::clearPerfCounters);
  Keep(&ObjectStore::OBJECT_STORE_START_PERF_COUNTER);
  Keep(&ObjectStore::OBJECT_STORE_STOP_PERF_COUNTER);
  const ObjectStore::TimeFunction scope("ObjectStoreNames", 37);
  Keep(scope);

  Keep(&ObjectStore::formatPerfMetrics);
  Keep(&ObjectStore::writePerfMetricsFile);
}

}  // namespace

int main() {
  CacheNames();
  HostNames();
  ObjectStoreNames();
  std::printf("every name: %d uses link\n", g_names);
  return 0;
}
