// Build-time constants for test programs that link the bootstrap library
// without a packed archive. Tests point the reader at archives of their own.
#include <stdint.h>

extern "C" {
extern const unsigned char onefileAttachedData[] = {'X', 'X', 'X'};
extern const uint64_t onefileAttachedDataLength = 3;
extern const wchar_t onefileCompanyName[] = L"Test Company";
extern const wchar_t onefileProductName[] = L"Test Product";
extern const wchar_t onefileVersionString[] = L"1.2.3.4";
}
