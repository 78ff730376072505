#include "app/run_main.h"

int main(int argc, char** argv) {
    return app::RunMain(argc, argv);
}
