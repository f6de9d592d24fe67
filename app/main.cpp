#include "app/Startup.h"
#include "app/WisplogApplication.h"

int main(int argc, char** argv)
{
    WisplogApplication app(argc, argv);
    return RunMainWindow();
}
