#include "db/backend.h"

namespace db {

GroupResult Backend::ExecuteGroup(std::span<const SqlCommand> group) {
    GroupResult out;
    out.result = Begin();
    if (!out.result.applied()) {
        return out;
    }
    for (std::size_t i = 0; i < group.size(); ++i) {
        ExecResult r = Execute(group[i]);
        if (!r.ran()) {
            // Some databases have already ended the transaction; a failing
            // rollback then changes nothing.
            if (IsOpen()) {
                Rollback();
            }
            out.result = std::move(r);
            out.failedAt = i;
            out.applied = 0;
            return out;
        }
        out.applied += r.applied() ? 1 : 0;
    }
    out.result = Commit();
    if (!out.result.applied()) {
        if (IsOpen()) {
            Rollback();
        }
        out.applied = 0;
    }
    return out;
}

FixUpkeepResult Backend::KeepFixes(const FixUpkeep&) {
    FixUpkeepResult out;
    out.result.status = ExecStatus::NoRows;
    return out;
}

}  // namespace db
