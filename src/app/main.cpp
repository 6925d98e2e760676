#include "app/helper_process.hpp"

int main(int argc, char** argv) {
    return tessarin::HelperProcess::main(argc, argv);
}
