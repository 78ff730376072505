#include "app/open_file_limit.h"

#include <sys/resource.h>

namespace app {

OpenFileLimit RaiseOpenFileLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return {};
    }
    if (limit.rlim_cur != limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0) {
            limit = raised;
        }
    }
    return {static_cast<std::uint64_t>(limit.rlim_cur), static_cast<std::uint64_t>(limit.rlim_max)};
}

}  // namespace app
