#include "exit_codes.h"

namespace kav::cli {

int exitClass(int result) {
    return static_cast<int>(kav::results::exitClass(result));
}

} // namespace kav::cli
