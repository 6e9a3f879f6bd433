#include "app/AppTarget.h"

#include <iostream>

int main() {
    return runMain("Bellwick", std::cerr);
}
