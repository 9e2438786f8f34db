#include "common/kv_logger.h"
int main(int, char**) { KvLogStream(KvLogLvl::Error) << "int main(int, char**)" << "Wrong combination of options" << std::endl; return 14; }
