// The sounds Windows plays with its own message boxes: an operator who knows
// them hears a refusal for what it is, and no audio stack is loaded for it.
#include "app/shell/Tones.h"

#include <windows.h>

namespace
{

class SystemTones : public TonePlayer
{
public:
    void play(Tone tone) override
    {
        ::MessageBeep(tone == Tone::Error ? MB_ICONHAND : MB_ICONQUESTION);
    }
};

} // namespace

std::unique_ptr<TonePlayer> platformTones()
{
    return std::make_unique<SystemTones>();
}
