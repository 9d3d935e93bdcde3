// The system trust store: the first regular file among the candidates fixed
// at build time. Nothing is taken from the environment.
#include "platform/trust_store.h"

#include "platform/file.h"

namespace tarnix {

namespace {
const char* const kCandidates[] = {TARNIX_TRUST_STORE_PATHS};
}

const char* system_trust_store_path() {
    for (const char* path : kCandidates) {
        FileVersion v;
        if (path[0] != '\0' && file_version(path, &v) == FileStatus::Ok) return path;
    }
    return nullptr;
}

}  // namespace tarnix
