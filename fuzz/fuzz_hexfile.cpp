// The Intel HEX reader with every offset pair the load dialog can produce.
#include "imagefuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return varn::fuzz::FuzzImageReader(data, size, varn::FileFormat::IntelHex,
                                       varn::FileFormat::IntelHex, QStringLiteral("hex"));
}
