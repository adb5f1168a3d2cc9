// What the three stream objects share as objects the host holds: they come
// from the library's object heap, and their destructor slot destroys them the
// way the Microsoft C++ ABI's deleting destructor does (see kesnet.h).
#ifndef KESNET_STREAM_STREAM_OBJECT_H
#define KESNET_STREAM_STREAM_OBJECT_H

#include "common/object_heap.h"

// Destroys the object; frees its memory too when bit 0 of nFlags is set.
// Returns the object's address, as that destructor does.
template <typename T>
void *DestroyStreamObject(T *pObject, unsigned int nFlags)
{
    pObject->~T();
    if (nFlags & 1)
        T::operator delete(pObject);
    return pObject;
}

#endif
