#include "app/shell/Tones.h"

#include <QSoundEffect>
#include <QUrl>

namespace
{

// Loading starts at once, so the first box does not wait for its tone.
std::unique_ptr<QSoundEffect> loaded(const char* url, float volume)
{
    auto effect = std::make_unique<QSoundEffect>();
    effect->setSource(QUrl(QString::fromLatin1(url)));
    effect->setVolume(volume);
    return effect;
}

} // namespace

// The resources live in a static library: nothing else pulls them in. (At
// namespace scope: the macro declares the resource's function where it runs.)
static void initToneResources()
{
    Q_INIT_RESOURCE(tones);
}

SoundEffectTones::SoundEffectTones()
{
    initToneResources();
    m_error = loaded("qrc:/tones/error.wav", 1.0f);
    m_question = loaded("qrc:/tones/question.wav", 0.6f);
}

SoundEffectTones::~SoundEffectTones() = default;

void SoundEffectTones::play(Tone tone)
{
    QSoundEffect& effect = tone == Tone::Error ? *m_error : *m_question;
    // Without a device the effect ends up in its error status and stays silent.
    if (effect.status() != QSoundEffect::Error)
        effect.play();
}

std::unique_ptr<TonePlayer> platformTones()
{
    return std::make_unique<SoundEffectTones>();
}
