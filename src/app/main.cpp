#include "app/Startup.h"

int main(int argc, char** argv) {
    return quilvane::RunQuilvane(argc, argv);
}
