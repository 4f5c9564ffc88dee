// POP before SMTP. (Placeholder until the POP3 login is built.)
#include "transfer/pop_before_smtp.h"

int pop_before_smtp() { return 0; }
