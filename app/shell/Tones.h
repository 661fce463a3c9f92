#pragma once
// The sounds that go with the message boxes: operators scan without looking at
// the screen and rely on hearing that a scan was refused. A machine without a
// sound device plays nothing and says nothing about it.

#include <memory>

class QSoundEffect;

class TonePlayer
{
public:
    enum class Tone { Error, Question };
    virtual ~TonePlayer() = default;
    virtual void play(Tone tone) = 0;
};

// The player of this platform: Qt's sound effects on free desktops, the
// system's own message sounds on Windows.
std::unique_ptr<TonePlayer> platformTones();

// The tones through Qt's sound effects, from the terminal's own resources.
class SoundEffectTones : public TonePlayer
{
public:
    SoundEffectTones();
    ~SoundEffectTones() override;
    void play(Tone tone) override;

private:
    std::unique_ptr<QSoundEffect> m_error;
    std::unique_ptr<QSoundEffect> m_question;
};
