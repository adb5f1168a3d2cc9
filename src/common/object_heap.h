// The heap of the objects that leave the library's hands: those a host makes
// with new (the exported classes declare their own operator new and delete,
// see KESNET_HEAP_OBJECT in kesnet.h) and the stream objects of
// KesCreateObject. A host's C runtime may have a heap of its own; these
// objects always come from, and go back to, this one, whoever allocates and
// deletes them.
#ifndef KESNET_COMMON_OBJECT_HEAP_H
#define KESNET_COMMON_OBJECT_HEAP_H

#include <stddef.h>

// Null when there is no memory: the library never throws.
void *AllocateObject(size_t nSize) noexcept;
// Nothing happens for null.
void FreeObject(void *pObject) noexcept;

// Destroys an object of this heap and, when bit 0 of nFlags is set, frees it,
// as the Microsoft C++ ABI's deleting destructor does; returns its address, as
// that destructor does. The class's own destructor is named: a plain call
// could go through a virtual table whose destructor slot leads back here.
template <typename T>
void *DestroyObject(T *pObject, unsigned int nFlags)
{
    pObject->T::~T();
    if (nFlags & 1)
        T::operator delete(pObject);
    return pObject;
}

// The allocation functions that KESNET_HEAP_OBJECT declares in a class.
#define KESNET_DEFINE_HEAP_OBJECT(type)                                                       \
    void *__cdecl type::operator new(size_t nSize) noexcept { return AllocateObject(nSize); }   \
    void *__cdecl type::operator new[](size_t nSize) noexcept { return AllocateObject(nSize); } \
    void __cdecl type::operator delete(void *pObject) noexcept { FreeObject(pObject); }          \
    void __cdecl type::operator delete[](void *pObjects) noexcept { FreeObject(pObjects); }      \
    void *__cdecl type::operator new(size_t, void *pWhere) noexcept { return pWhere; }           \
    void *__cdecl type::operator new[](size_t, void *pWhere) noexcept { return pWhere; }         \
    void __cdecl type::operator delete(void *, void *) noexcept {}                               \
    void __cdecl type::operator delete[](void *, void *) noexcept {}

#endif
