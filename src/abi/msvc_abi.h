// The exported classes as a host built with a Microsoft-ABI compiler (Visual
// C++, clang-cl) calls them. Most of their members need nothing of their own
// here: the DLL exports them a second time, under the names such a compiler
// gives them (cmake/msvc_exports.py reads those from the header and writes the
// aliases), because on i686 g++ and the Microsoft ABI pass `this` in ECX and
// clean up alike, and on x86_64 there is one calling convention. What differs:
//   - a Microsoft-ABI constructor returns `this`; g++'s returns nothing;
//   - a class with a virtual destructor has one virtual table entry for it,
//     called with a flags word (bit 0: free the memory, bit 1: an array), where
//     g++ has two entries. An object that a Microsoft-ABI constructor made gets
//     a virtual table of that form.
// The adapters below bridge both; the generated file instantiates them for
// each constructor the header declares.
#ifndef KESNET_ABI_MSVC_ABI_H
#define KESNET_ABI_MSVC_ABI_H

#include <new>
#include <string.h>
#include <type_traits>

#include "common/object_heap.h"
#include "kesnet.h"

// Calls that the Microsoft ABI makes with `this` in ECX and the callee
// removing the arguments: GCC's thiscall. One convention on x86_64.
#if defined(_WIN64)
#define KESNET_MSVC_THISCALL
#else
#define KESNET_MSVC_THISCALL __attribute__((thiscall))
#endif

// The virtual table of a Microsoft-ABI object of class T: the complete-object
// locator slot before it (no run-time type information is given: null), then
// the deleting destructor. T's only virtual function is its destructor.
template <typename T>
struct MsvcVirtualTable {
    static void *KESNET_MSVC_THISCALL DeletingDestructor(T *pObject, unsigned int nFlags);
    static const void *const kSlots[2];
};

template <typename T>
void *KESNET_MSVC_THISCALL MsvcVirtualTable<T>::DeletingDestructor(T *pObject, unsigned int nFlags)
{
    if (nFlags & 2) {
        // delete[]: the element count stands in the word before the first
        // element, where the Microsoft ABI's new[] put it.
        size_t *count = reinterpret_cast<size_t *>(pObject) - 1;
        // The class's own destructor is named: a plain call would go through
        // the object's virtual table, this one.
        for (size_t i = *count; i-- > 0;)
            pObject[i].T::~T();
        if (nFlags & 1)
            T::operator delete[](count);
        return count;
    }
    return DestroyObject(pObject, nFlags);
}

template <typename T>
const void *const MsvcVirtualTable<T>::kSlots[2] = {
    nullptr, reinterpret_cast<const void *>(&MsvcVirtualTable<T>::DeletingDestructor)};

// Gives a freshly constructed object the Microsoft-ABI virtual table, if its
// class has one at all.
template <typename T>
T *WithMsvcVirtualTable(T *pObject)
{
    if constexpr (std::is_polymorphic<T>::value) {
        const void *const *table = &MsvcVirtualTable<T>::kSlots[1];
        memcpy(static_cast<void *>(pObject), &table, sizeof table);
    }
    return pObject;
}

template <typename T>
void *MsvcConstruct(void *pThis)
{
    return WithMsvcVirtualTable(::new (pThis) T);
}

template <typename T>
void *MsvcCopyConstruct(void *pThis, const void *pOther)
{
    return WithMsvcVirtualTable(::new (pThis) T(*static_cast<const T *>(pOther)));
}

#endif
