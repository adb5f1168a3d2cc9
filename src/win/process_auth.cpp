#include "common/process_auth.h"

#include "win/auth_process.h"

bool ProcessAuthenticates()
{
    return winauth::Current() != nullptr;
}

void MarkDeliveringTeachers(bool bTeachers)
{
    winauth::SetDeliveringTeachers(bTeachers);
}
