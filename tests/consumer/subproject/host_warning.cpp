// Host code that compiles with a warning, as much host code does.
int lumvexHostWarning(int unusedParameter) {
    int unusedVariable = 0;
    return 0;
}
