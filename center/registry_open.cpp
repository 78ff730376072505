#include "center/registry_open.h"

#include "center/pg_registry.h"
#include "center/sqlite_registry.h"

namespace center {

std::unique_ptr<Registry> OpenRegistry(const Options& options,
                                       std::function<void(const std::string&)> log,
                                       std::string& error) {
    if (!options.registry.empty()) {
        auto shared = std::make_unique<PgRegistry>(options.registry, std::string(), std::move(log));
        if (error = shared->open(); !error.empty()) {
            return nullptr;
        }
        return shared;
    }
    auto own = std::make_unique<SqliteRegistry>();
    if (error = own->open(options.dataDir + "/registry.sqlite"); !error.empty()) {
        return nullptr;
    }
    return own;
}

}  // namespace center
