// A program, not a library: the entry check refuses it.
int main() {
    return 0;
}
