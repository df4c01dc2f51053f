/* A library that entry libraries import: helper.def exports both functions,
 * helper_lite.def (a build of another version, as packaged by mistake) only
 * the first. Built with RELAYED, it takes the loud greeting from relay.dll. */
const char* greet(void) {
    return "hello";
}

#ifdef RELAYED
const char* relayed(void);

const char* greet_loudly(void) {
    return relayed();
}
#else
const char* greet_loudly(void) {
    return "HELLO";
}
#endif
