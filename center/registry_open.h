#pragma once
// The registry the options name: PostgreSQL with --registry, else the SQLite
// file under --data.

#include <functional>
#include <memory>
#include <string>

#include "center/options.h"
#include "center/registry.h"

namespace center {

// Null with `error` set when it cannot be opened.
std::unique_ptr<Registry> OpenRegistry(const Options& options,
                                       std::function<void(const std::string&)> log,
                                       std::string& error);

}  // namespace center
