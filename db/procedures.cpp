#include "db/procedures.h"

#include <array>
#include <cstdint>
#include <limits>

#include "text/ascii.h"

namespace db {
namespace {

constexpr std::array kEventUpdateParams{ParamType::Text, ParamType::Int32};
constexpr std::array kGpsAddParams{ParamType::Text,  ParamType::Real,  ParamType::Real,
                                   ParamType::Int32, ParamType::Int32, ParamType::Text};

constexpr std::array<ProcedureDef, 2> kProcedures{{
    {"EVENT_UPDATE", "event_update", kEventUpdateParams},
    {"GPS_ADD", "gps_add", kGpsAddParams},
}};

const char* TypeName(ParamType t) {
    switch (t) {
        case ParamType::Text:
            return "text";
        case ParamType::Real:
            return "real";
        case ParamType::Int32:
            return "integer";
    }
    return "?";
}

}  // namespace

std::span<const ProcedureDef> KnownProcedures() {
    return kProcedures;
}

const ProcedureDef* FindProcedure(std::string_view name) {
    for (const auto& p : kProcedures) {
        if (text::EqualsIgnoringCase(p.name, name)) {
            return &p;
        }
    }
    return nullptr;
}

const ProcedureDef* CheckCommand(const SqlCommand& command, std::string& error) {
    const ProcedureDef* def = FindProcedure(command.procedure());
    if (def == nullptr) {
        error = "unknown procedure '" + command.procedure() + "'";
        return nullptr;
    }
    const auto& params = command.params();
    if (params.size() != def->params.size()) {
        error = std::string(def->name) + " takes " + std::to_string(def->params.size()) +
                " parameters, got " + std::to_string(params.size());
        return nullptr;
    }
    for (std::size_t i = 0; i < params.size(); ++i) {
        const SqlValue& v = params[i].value;
        bool ok = false;
        switch (def->params[i]) {
            case ParamType::Text:
                ok = std::holds_alternative<std::string>(v);
                break;
            case ParamType::Real:
                ok = std::holds_alternative<double>(v) || std::holds_alternative<std::int64_t>(v);
                break;
            case ParamType::Int32:
                if (const auto* n = std::get_if<std::int64_t>(&v)) {
                    ok = *n >= std::numeric_limits<std::int32_t>::min() &&
                         *n <= std::numeric_limits<std::int32_t>::max();
                }
                break;
        }
        if (!ok) {
            error = std::string(def->name) + " parameter " + std::to_string(i + 1) + " must be a " +
                    TypeName(def->params[i]) +
                    (def->params[i] == ParamType::Int32 ? " of 32 bits" : "");
            return nullptr;
        }
    }
    return def;
}

}  // namespace db
