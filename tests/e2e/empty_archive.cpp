// Build-time constants of an archive that holds nothing but the terminator,
// which no packer writes: linked with the bootstrap to show what a child
// does when there is no entry library to run.
#include <stdint.h>

extern "C" {
// "QJY", a zstd frame whose content is one raw block of two zero bytes (the
// empty name), the trailer pad and the trailer length 5 + 11.
extern const unsigned char onefileAttachedData[] = {'Q',  'J',  'Y',  0x28, 0xB5, 0x2F, 0xFD, 0x20,
                                                    0x02, 0x11, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                                                    0x10, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
extern const uint64_t onefileAttachedDataLength = sizeof onefileAttachedData;
extern const wchar_t onefileCompanyName[] = L"";
extern const wchar_t onefileProductName[] = L"empty_archive";
extern const wchar_t onefileVersionString[] = L"0.0.0.0";
}
