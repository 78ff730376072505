#include "jt808/driver_identity.h"

#include "jt808/bytes.h"
#include "jt808/gbk.h"

namespace jt808 {

Result<DriverIdentity> parseDriverIdentity(std::span<const std::uint8_t> body, Version version) {
    Reader r(body);
    DriverIdentity d;
    d.status = r.u8();
    d.time = r.bcd(6);
    if (!r.ok()) {
        return Result<DriverIdentity>::fail("driver identity: no status and BCD time");
    }
    if (d.status != kCardInserted) {
        return Result<DriverIdentity>::of(std::move(d));
    }
    d.icResult = r.u8();
    if (!r.ok()) {
        return Result<DriverIdentity>::fail("driver identity: card inserted but no IC result");
    }
    if (d.icResult != 0) {
        return Result<DriverIdentity>::of(std::move(d));
    }
    const auto name = r.take(r.u8());
    const auto qualification = r.take(20);
    const auto authority = r.take(r.u8());
    d.expiry = r.bcd(4);
    if (!r.ok()) {
        return Result<DriverIdentity>::fail("driver identity: card fields do not fit the " +
                                            std::to_string(body.size()) + " bytes");
    }
    d.name = gbkToUtf8(name);
    d.qualification = gbkToUtf8(trimField(qualification));
    d.authority = gbkToUtf8(authority);
    if (version == Version::V2019) {
        const auto idCard = r.take(20);
        if (!r.ok()) {
            return Result<DriverIdentity>::fail("driver identity: no ID card number");
        }
        d.idCard = gbkToUtf8(trimField(idCard));
    }
    return Result<DriverIdentity>::of(std::move(d));
}

std::vector<std::uint8_t> encodeDriverIdentity(const DriverIdentity& d, Version version) {
    Writer w;
    w.u8(d.status);
    w.bcd(d.time, 6);
    if (d.status != kCardInserted) {
        return w.take();
    }
    w.u8(d.icResult);
    if (d.icResult != 0) {
        return w.take();
    }
    const std::string name = utf8ToGbk(d.name).substr(0, 255);
    w.u8(static_cast<std::uint8_t>(name.size()));
    w.text(name);
    w.fixedText(utf8ToGbk(d.qualification), 20);
    const std::string authority = utf8ToGbk(d.authority).substr(0, 255);
    w.u8(static_cast<std::uint8_t>(authority.size()));
    w.text(authority);
    w.bcd(d.expiry, 4);
    if (version == Version::V2019) {
        w.fixedText(utf8ToGbk(d.idCard), 20);
    }
    return w.take();
}

}  // namespace jt808
