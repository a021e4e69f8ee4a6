#include "progressline.h"

#include <io.h>

bool isTerminal(FILE *stream)
{
    return _isatty(_fileno(stream)) != 0;
}
