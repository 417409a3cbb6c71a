// Placeholder until the serve loop lands.
int main() { return 0; }
