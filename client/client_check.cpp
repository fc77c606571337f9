#include "client/client_check.h"
int client_check_file(const char *) {
    return 0;
}
