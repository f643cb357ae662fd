#include "batch_ui/morvale_express_app.h"

int main(int argc, char** argv) { return morvale::MorvaleExpressApp::main(argc, argv); }
