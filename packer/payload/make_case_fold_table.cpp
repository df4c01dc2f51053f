// Writes the case-folding table of case_fold_table.h as a C++ source, when
// the packer is built: every UTF-16 code unit beyond ASCII (surrogates
// aside) whose simple upper-case mapping in the C.UTF-8 locale is another
// single unit. Those are the mappings by which Windows compares names.
//   onefile-make-case-fold-table OUT.cpp
#include <clocale>
#include <cstdio>
#include <cwctype>
#include <locale.h>

int main(int argc, char** argv) {
    locale_t folding = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
    FILE* out = argc == 2 ? std::fopen(argv[1], "w") : nullptr;
    if (!folding || !out) {
        std::fprintf(stderr,
                     "usage: onefile-make-case-fold-table OUT.cpp (with a C.UTF-8 locale)\n");
        return 1;
    }
    std::fprintf(out, "// Made by packer/payload/make_case_fold_table.cpp.\n"
                      "#include \"packer/payload/case_fold_table.h\"\n\n"
                      "const CaseFoldPair caseFoldPairs[] = {\n");
    for (unsigned unit = 0x80; unit <= 0xFFFF; ++unit) {
        if (unit >= 0xD800 && unit <= 0xDFFF) {
            continue;
        }
        const wint_t upper = towupper_l(static_cast<wint_t>(unit), folding);
        if (upper != unit && upper <= 0xFFFF) {
            std::fprintf(out, "    {0x%04X, 0x%04X},\n", unit, static_cast<unsigned>(upper));
        }
    }
    std::fprintf(out, "};\nconst size_t caseFoldPairCount = sizeof caseFoldPairs / sizeof "
                      "caseFoldPairs[0];\n");
    return std::fclose(out) == 0 ? 0 : 1;
}
