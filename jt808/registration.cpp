#include "jt808/registration.h"

#include "jt808/bytes.h"
#include "jt808/gbk.h"

namespace jt808 {

namespace {

struct RegistrationLayout {
    std::size_t maker;
    std::size_t model;
    std::size_t terminalId;
    std::size_t fixed() const { return 4 + maker + model + terminalId + 1; }
};

constexpr RegistrationLayout kLayout2011{5, 8, 7};
constexpr RegistrationLayout kLayout2013{5, 20, 7};
constexpr RegistrationLayout kLayout2019{11, 30, 30};

std::string field(Reader& r, std::size_t n) {
    return gbkToUtf8(trimField(r.take(n)));
}

}  // namespace

Result<Registration> parseRegistration(std::span<const std::uint8_t> body, Version version) {
    RegistrationLayout layout = version == Version::V2019 ? kLayout2019 : kLayout2013;
    if (version == Version::V2013 && body.size() < kLayout2013.fixed() &&
        body.size() >= kLayout2011.fixed()) {
        layout = kLayout2011;
    }
    if (body.size() < layout.fixed()) {
        return Result<Registration>::fail("registration: " + std::to_string(body.size()) +
                                          " bytes, at least " + std::to_string(layout.fixed()) +
                                          " needed");
    }
    Reader r(body);
    Registration reg;
    reg.province = r.u16();
    reg.city = r.u16();
    reg.makerId = field(r, layout.maker);
    reg.model = field(r, layout.model);
    reg.terminalId = field(r, layout.terminalId);
    reg.plateColour = r.u8();
    reg.plate = gbkToUtf8(trimField(r.rest()));
    return Result<Registration>::of(std::move(reg));
}

std::vector<std::uint8_t> encodeRegistration(const Registration& reg, Version version) {
    const RegistrationLayout layout = version == Version::V2019 ? kLayout2019 : kLayout2013;
    Writer w;
    w.u16(reg.province);
    w.u16(reg.city);
    w.fixedText(utf8ToGbk(reg.makerId), layout.maker);
    w.fixedText(utf8ToGbk(reg.model), layout.model);
    w.fixedText(utf8ToGbk(reg.terminalId), layout.terminalId);
    w.u8(reg.plateColour);
    w.text(utf8ToGbk(reg.plate));
    return w.take();
}

std::vector<std::uint8_t> encodeRegistrationResponse(const RegistrationResponse& response) {
    Writer w;
    w.u16(response.serial);
    w.u8(response.result);
    if (response.result == static_cast<std::uint8_t>(RegistrationResult::Ok)) {
        w.text(utf8ToGbk(response.authCode));
    }
    return w.take();
}

Result<RegistrationResponse> parseRegistrationResponse(std::span<const std::uint8_t> body) {
    Reader r(body);
    RegistrationResponse response;
    response.serial = r.u16();
    response.result = r.u8();
    if (!r.ok()) {
        return Result<RegistrationResponse>::fail(
            "registration response: " + std::to_string(body.size()) + " bytes, at least 3 needed");
    }
    if (response.result == static_cast<std::uint8_t>(RegistrationResult::Ok)) {
        response.authCode = gbkToUtf8(r.rest());
    }
    return Result<RegistrationResponse>::of(std::move(response));
}

Result<Authentication> parseAuthentication(std::span<const std::uint8_t> body, Version version) {
    Authentication auth;
    if (version == Version::V2013) {
        // The code is all there is; a zero byte some terminals append is no
        // part of it.
        auth.code = gbkToUtf8(trimField(body));
        return Result<Authentication>::of(std::move(auth));
    }
    Reader r(body);
    const std::size_t length = r.u8();
    const auto code = r.take(length);
    const auto imei = r.take(15);
    const auto software = r.take(20);
    if (!r.ok()) {
        return Result<Authentication>::fail("authentication: " + std::to_string(body.size()) +
                                            " bytes, " + std::to_string(1 + length + 35) +
                                            " needed for a code of " + std::to_string(length));
    }
    auth.code = gbkToUtf8(code);
    auth.imei = gbkToUtf8(trimField(imei));
    auth.softwareVersion = gbkToUtf8(trimField(software));
    return Result<Authentication>::of(std::move(auth));
}

std::vector<std::uint8_t> encodeAuthentication(const Authentication& auth, Version version) {
    Writer w;
    const std::string code = utf8ToGbk(auth.code);
    if (version == Version::V2013) {
        w.text(code);
        return w.take();
    }
    const std::string_view cut = std::string_view(code).substr(0, 255);
    w.u8(static_cast<std::uint8_t>(cut.size()));
    w.text(cut);
    w.fixedText(auth.imei, 15);
    w.fixedText(auth.softwareVersion, 20);
    return w.take();
}

}  // namespace jt808
