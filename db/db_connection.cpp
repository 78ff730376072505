#include "db/db_connection.h"

#include <exception>

#include "db/backend.h"

CMyDbConnection::CMyDbConnection(std::filesystem::path baseDir) : m_baseDir(std::move(baseDir)) {}

CMyDbConnection::~CMyDbConnection() {
    Close();
}

void CMyDbConnection::SetBaseDirectory(std::filesystem::path baseDir) {
    m_baseDir = std::move(baseDir);
}

bool CMyDbConnection::IsOpen() const {
    return m_pBackend != nullptr && m_pBackend->IsOpen();
}

bool CMyDbConnection::WatchesFile() const {
    return IsOpen() && m_pBackend->WatchesFile();
}

std::string CMyDbConnection::FileReplaced() {
    if (!WatchesFile()) {
        return {};
    }
    try {
        return m_pBackend->FileReplaced();
    } catch (const std::exception& e) {
        return std::string("cannot be checked: ") + e.what();
    } catch (...) {
        return "cannot be checked";
    }
}

bool CMyDbConnection::Open(std::string_view connectionString, int timeoutSeconds) {
    if (IsOpen()) {
        return true;
    }
    try {
        // A backend whose connection was lost is dropped before reopening.
        m_pBackend.reset();
        auto opened = db::OpenBackend(connectionString, timeoutSeconds, m_baseDir, &m_cancel);
        m_pBackend = std::move(opened.backend);
        m_lastError = m_pBackend ? std::string() : std::move(opened.error);
        m_openNotice = m_pBackend ? m_pBackend->Notice() : std::string();
        return m_pBackend != nullptr;
    } catch (const std::exception& e) {
        m_pBackend.reset();
        m_lastError = e.what();
    } catch (...) {
        m_pBackend.reset();
        m_lastError = "unexpected failure while opening the database";
    }
    return false;
}

db::ExecResult CMyDbConnection::Record(db::ExecResult result) {
    try {
        m_lastError = result.error;
    } catch (...) {
        // Out of memory copying the message: the result itself still says
        // what happened.
    }
    return result;
}

db::ExecResult CMyDbConnection::ExecuteCommand(const db::SqlCommand& command) {
    if (!IsOpen()) {
        return Record({db::ExecStatus::ConnectionLost, 0, "the connection is not open"});
    }
    try {
        return Record(m_pBackend->Execute(command));
    } catch (const std::exception& e) {
        return Record({db::ExecStatus::Rejected, 0, e.what()});
    } catch (...) {
        return Record({db::ExecStatus::Rejected, 0, "unexpected failure"});
    }
}

db::GroupResult CMyDbConnection::ExecuteGroup(std::span<const db::SqlCommand> group) {
    db::GroupResult out;
    if (!IsOpen()) {
        out.result = Record({db::ExecStatus::ConnectionLost, 0, "the connection is not open"});
        return out;
    }
    try {
        out = m_pBackend->ExecuteGroup(group);
    } catch (const std::exception& e) {
        // Whatever state the transaction was left in, a new connection is
        // the safe place to go on from.
        Close();
        out = {{db::ExecStatus::ConnectionLost, 0, e.what()}, db::GroupResult::kTransaction, 0};
    } catch (...) {
        Close();
        out = {{db::ExecStatus::ConnectionLost, 0, "unexpected failure"},
               db::GroupResult::kTransaction,
               0};
    }
    Record(out.result);
    return out;
}

db::FixUpkeepResult CMyDbConnection::KeepFixes(const db::FixUpkeep& upkeep) {
    db::FixUpkeepResult out;
    if (!IsOpen()) {
        out.result = Record({db::ExecStatus::ConnectionLost, 0, "the connection is not open"});
        return out;
    }
    try {
        out = m_pBackend->KeepFixes(upkeep);
    } catch (const std::exception& e) {
        Close();
        out.result = {db::ExecStatus::ConnectionLost, 0, e.what()};
    } catch (...) {
        Close();
        out.result = {db::ExecStatus::ConnectionLost, 0, "unexpected failure"};
    }
    Record(out.result);
    return out;
}

void CMyDbConnection::Close() {
    // Also runs from the destructor: nothing may leave it, a failed close
    // is only remembered as the last error.
    const auto remember = [this](const char* what) noexcept {
        try {
            m_lastError = std::string("closing the database failed: ") + what;
        } catch (...) {
        }
    };
    try {
        if (m_pBackend) {
            m_pBackend->Close();
            m_pBackend.reset();
        }
    } catch (const std::exception& e) {
        m_pBackend.reset();
        remember(e.what());
    } catch (...) {
        m_pBackend.reset();
        remember("unexpected failure");
    }
}
