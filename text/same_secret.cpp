#include "text/same_secret.h"

namespace text {

bool SameSecret(std::string_view sent, std::string_view kept) {
    // Every byte of the kept secret is looked at, whatever was sent.
    unsigned diff = sent.size() == kept.size() ? 0U : 1U;
    for (std::size_t i = 0; i < kept.size(); ++i) {
        const unsigned char s = i < sent.size() ? static_cast<unsigned char>(sent[i]) : 0;
        diff |= s ^ static_cast<unsigned char>(kept[i]);
    }
    return diff == 0;
}

}  // namespace text
