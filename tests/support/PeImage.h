// A minimal PE image in memory, as the driver checks read one: DOS header,
// PE signature, COFF and optional headers (PE32 for i386, PE32+ otherwise),
// one section holding an export directory with the given names and an
// import directory naming the given libraries.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace testing_support {

// The PE signature stands at offset 0x80.
std::string MakePeImage(std::uint16_t machine, const std::vector<std::string>& exports,
                        const std::vector<std::string>& imports = {});

}  // namespace testing_support
