// The reference for a whole run of the tool: a program linked against the
// same libraries that does nothing, so the ratio shows the tool's own work.
int main() {
    return 0;
}
