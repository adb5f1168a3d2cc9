// The slots of the multi-interface objects: one per local interface, eight at
// most. The records carry exactly eight addresses and the objects exactly
// eight slots, so no count above kMaxSlots may reach a loop over them.
#ifndef KESNET_UTIL_SLOTS_H
#define KESNET_UTIL_SLOTS_H

const int kMaxSlots = 8;

template <typename T>
bool AnySlotHeld(T *const (&slots)[kMaxSlots])
{
    for (T *slot : slots)
        if (slot != nullptr)
            return true;
    return false;
}

#endif
