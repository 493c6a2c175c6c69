#include "app/entry.h"

int main(int argc, char** argv) {
    return UPDATE_Main(argc, argv);
}
