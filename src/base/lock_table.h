// Object lock table: a key is the address of the object it protects; a key is
// held while it is in the table. Not re-entrant.
#pragma once

#include <windows.h>

void InitMutex();
void CloseLockMutex();
int LockObject(const void* key);
int UnlockObject(const void* key);
