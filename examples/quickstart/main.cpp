#include <kelvor/Quorvel.hpp>

int main() { return 0; }
