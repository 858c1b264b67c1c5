// The application's stand-in for the benchmark: the starter starts it at the
// application's executable path, and it ends at once with status 0. The bench
// pads its file with generated data up to the real executable's size.
int main() {
  return 0;
}
