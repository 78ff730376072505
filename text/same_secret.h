#pragma once
// Compares a secret a peer sent with the one kept, in a time that depends on
// neither where they differ nor the sent text's length, so that timing the
// answers tells a guesser nothing.

#include <string_view>

namespace text {

bool SameSecret(std::string_view sent, std::string_view kept);

}  // namespace text
