#include "app/InterfaceLoader.h"
#include "ui/Application.h"

int main(int argc, char** argv) {
    return cliploop::applicationMain(argc, argv, cliploop::loadMainInterface);
}
