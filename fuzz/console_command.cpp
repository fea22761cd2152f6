// Operator commands arrive from the browser as JSON; a bad one must be refused, never
// crash the console or reach the window thread half-read.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "console/protocol.h"
#include "platform/text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view json(reinterpret_cast<const char*>(data), size);
    if (const auto command = qd::console::ParseCommand(json)) {
        // Typed text reaches the model as Windows-1252 and must survive the way back.
        (void)qd::Win1252ToUtf8(command->text);
        if (command->control < -1 || command->index < -1) std::abort();
    }
    return 0;
}
