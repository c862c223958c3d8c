// The floor under `ntolvex get-version`: a program that does nothing, linked with the
// same shared libraries as ntolvex (bench/CMakeLists.txt names them), so that the
// loader maps, relocates and initialises what it does for the real program.
//
//   bare_main_driver
int main() { return 0; }
