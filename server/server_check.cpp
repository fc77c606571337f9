#include "server/server_check.h"
int server_check_file(const char *) {
    return 0;
}
