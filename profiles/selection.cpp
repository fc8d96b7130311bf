// Profile selection: finding a profile by id, with the fallback to the
// default profile and then to the base profile, and stepping to the next one.
#include "profiles/profiles.h"
#include "platform/trace.h"

/*
 * MIVO_Select_Profil - find the profile to make current.
 * Looks for Id, then for DefaultProfilId, then for the base profile (-1).
 * The search that finds its profile releases every key, latched ones too, and
 * starts the selection pattern. Returns the profile, or NULL when even the
 * base profile is missing; the caller stores the result in CurrentProfil.
 * HID worker only (binds, the gesture, the rebuild, and command 0x08, which
 * the command channel posts and MIVO_take_commands carries out): the key table
 * and the LED queue it touches have no lock.
 */
PROFIL *MIVO_Select_Profil(PDEVICE_EXTENSION dx, SHORT Id)
{
    MIVO_TRACE_ENTER("%p Search Profil %d", (PVOID)dx, (int)Id);

    for (PROFIL *profil = dx->ProfilList; profil != NULL; profil = profil->Next) {
        if (profil->Profil_Id == Id) {
            MIVO_TRACE_LEAVE("Found Profil %d ", (int)Id);
            MIVO_key_clear(dx, 1);
            MIVO_Led_Show_Profil(dx);
            return profil;
        }
    }

    // Each step of the chain is a search of its own, so at most three ids
    // are visited: Id, DefaultProfilId, -1.
    if (Id != dx->DefaultProfilId && Id != BASE_PROFIL_ID) {
        MIVO_TRACE_LINE("Profil %d Not Found look for default %d", (int)Id, (int)dx->DefaultProfilId);
        return MIVO_Select_Profil(dx, dx->DefaultProfilId);
    }
    if (Id == BASE_PROFIL_ID) {
        MIVO_TRACE_LEAVE("Not Found");
        return NULL;
    }
    MIVO_TRACE_LINE("Profil %d Not Found look for -1", (int)Id);
    return MIVO_Select_Profil(dx, BASE_PROFIL_ID);
}

/*
 * MIVO_Select_Next_Profil - make the profile behind CurrentProfil current,
 * wrapping to the head of ProfilList. Keys are not released: the gesture that
 * steps has already put them to rest. HID worker.
 */
VOID MIVO_Select_Next_Profil(PDEVICE_EXTENSION dx)
{
    MIVO_Led_Show_Profil(dx);

    PROFIL *next = dx->CurrentProfil != NULL ? dx->CurrentProfil->Next : NULL;
    if (next == NULL) {
        next = dx->ProfilList;
    }
    dx->CurrentProfil = next;

    if (next != NULL) {
        MIVO_TRACE_LINE("Switch to %d", (int)next->Profil_Id);
    }
}
