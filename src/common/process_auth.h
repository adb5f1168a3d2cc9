// What the shared datagram code asks of the process's authentication. In the
// DLL it is src/win/auth_process.cpp (through src/win/process_auth.cpp); the
// Linux library has no class key yet (src/posix/process_auth.cpp): every
// datagram there is sent and taken as it stands.
#ifndef KESNET_COMMON_PROCESS_AUTH_H
#define KESNET_COMMON_PROCESS_AUTH_H

// Whether the process has a class key now.
bool ProcessAuthenticates();

// Tells KesAuthFromTeacher, on this thread, whether the datagram about to be
// handed to a callback was signed by the teacher.
void MarkDeliveringTeachers(bool bTeachers);

#endif
