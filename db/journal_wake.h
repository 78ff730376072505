#pragma once
// Whether a statement appended to the journal wakes its writer at once, or
// leaves that to the appending thread after its run of appends (a wake costs
// that thread more than the record does).

namespace db {

enum class JournalWake : bool { Now, Later };

}  // namespace db
