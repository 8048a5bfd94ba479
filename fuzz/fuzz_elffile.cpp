// The ELF reader (libelf underneath) with every offset pair the load dialog
// can produce; what it loads is saved as S-records and read back.
#include "imagefuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return varn::fuzz::FuzzImageReader(data, size, varn::FileFormat::Elf, varn::FileFormat::SRecord,
                                       QStringLiteral("elf"));
}
