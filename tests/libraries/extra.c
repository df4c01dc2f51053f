/* A library that an entry loads by name alone. The package carries one build;
 * the other, planted next to the executable, must never be the one found. */
__declspec(dllexport) const char* extra_text(void) {
    return EXTRA_TEXT;
}
