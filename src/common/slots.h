// The slots of the multi-interface objects: one per local interface, eight at
// most. The records carry exactly eight addresses and the objects exactly
// eight slots, so no count above kMaxSlots may reach a loop over them.
#ifndef KESNET_COMMON_SLOTS_H
#define KESNET_COMMON_SLOTS_H

const int kMaxSlots = 8;

// Whether InitInstance may go on with a record's nCount: 0 and counts above
// the eight slots are refused; a negative count is accepted and opens nothing.
inline bool SlotCountAccepted(int nCount)
{
    return nCount != 0 && nCount <= kMaxSlots;
}

template <typename T>
void ClearSlots(T *(&slots)[kMaxSlots])
{
    for (T *&slot : slots)
        slot = nullptr;
}

template <typename T>
bool AnySlotHeld(T *const (&slots)[kMaxSlots])
{
    for (T *slot : slots)
        if (slot != nullptr)
            return true;
    return false;
}

#endif
