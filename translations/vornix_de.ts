<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de">
<context>
    <name>vornix::DriveTroubleNotices</name>
    <message>
        <source>Drive not responding</source>
        <translation>Laufwerk antwortet nicht</translation>
    </message>
    <message>
        <source>&quot;%1&quot; has not answered a keep-alive ping for %2 seconds.</source>
        <translation>„%1“ hat seit %2 Sekunden auf keinen Wach-Ping geantwortet.</translation>
    </message>
    <message>
        <source>Drive is read-only</source>
        <translation>Laufwerk ist schreibgeschützt</translation>
    </message>
    <message>
        <source>&quot;%1&quot; is mounted read-only, so it cannot be kept awake.</source>
        <translation>„%1“ ist schreibgeschützt eingehängt und kann daher nicht wach gehalten werden.</translation>
    </message>
    <message>
        <source>Keep-alive ping failed</source>
        <translation>Wach-Ping fehlgeschlagen</translation>
    </message>
    <message>
        <source>&quot;%1&quot; could not be pinged.</source>
        <translation>„%1“ konnte nicht angepingt werden.</translation>
    </message>
    <message>
        <source>&quot;%1&quot; could not be pinged: %2.</source>
        <translation>„%1“ konnte nicht angepingt werden: %2.</translation>
    </message>
    <message>
        <source>Drive nearly full</source>
        <translation>Laufwerk fast voll</translation>
    </message>
    <message>
        <source>&quot;%1&quot; has less than %2 MB free; pings wait until space is freed.</source>
        <translation>„%1“ hat weniger als %2 MB frei; Pings warten, bis Platz frei wird.</translation>
    </message>
</context>
<context>
    <name>vornix::EventLog</name>
    <message>
        <source>Drive disconnected unexpectedly</source>
        <translation>Laufwerk unerwartet getrennt</translation>
    </message>
    <message>
        <source>External drive</source>
        <translation>Externes Laufwerk</translation>
    </message>
    <message>
        <source>&quot;%1&quot; disappeared without being ejected. Check the cable/connection.</source>
        <translation>„%1“ ist ohne Auswerfen verschwunden. Prüfen Sie Kabel und Verbindung.</translation>
    </message>
</context>
<context>
    <name>vornix::LogEvent</name>
    <message>
        <source>Mounted</source>
        <translation>Eingehängt</translation>
    </message>
    <message>
        <source>Ejected (user)</source>
        <translation>Ausgeworfen (Benutzer)</translation>
    </message>
    <message>
        <source>Unexpected disconnect</source>
        <translation>Unerwartet getrennt</translation>
    </message>
    <message>
        <source>Keep-alive ping ok</source>
        <translation>Wach-Ping erfolgreich</translation>
    </message>
    <message>
        <source>Keep-alive ping stalled</source>
        <translation>Wach-Ping hängt</translation>
    </message>
    <message>
        <source>Keep-alive ping failed</source>
        <translation>Wach-Ping fehlgeschlagen</translation>
    </message>
    <message>
        <source>Volume read-only</source>
        <translation>Laufwerk schreibgeschützt</translation>
    </message>
    <message>
        <source>Volume nearly full</source>
        <translation>Laufwerk fast voll</translation>
    </message>
    <message>
        <source>Sleep prevention started</source>
        <translation>Ruhezustand-Verhinderung gestartet</translation>
    </message>
    <message>
        <source>Sleep prevention stopped</source>
        <translation>Ruhezustand-Verhinderung beendet</translation>
    </message>
    <message>
        <source>Settings not saved</source>
        <translation>Einstellungen nicht gespeichert</translation>
    </message>
</context>
<context>
    <name>vornix::Panel</name>
    <message>
        <source>Keep drives awake</source>
        <translation>Laufwerke wach halten</translation>
    </message>
    <message>
        <source>No external drives detected</source>
        <translation>Keine externen Laufwerke gefunden</translation>
    </message>
    <message>
        <source>Ping interval</source>
        <translation>Ping-Intervall</translation>
    </message>
    <message>
        <source>Pause on battery</source>
        <translation>Im Akkubetrieb pausieren</translation>
    </message>
    <message>
        <source>Notify about drive trouble</source>
        <translation>Bei Laufwerksproblemen benachrichtigen</translation>
    </message>
    <message>
        <source>Launch at Login</source>
        <translation>Bei Anmeldung starten</translation>
    </message>
    <message>
        <source>Recent activity</source>
        <translation>Letzte Aktivität</translation>
    </message>
    <message>
        <source>About Vornix</source>
        <translation>Über Vornix</translation>
    </message>
    <message>
        <source>Quit</source>
        <translation>Beenden</translation>
    </message>
    <message>
        <source>Active</source>
        <translation>Aktiv</translation>
    </message>
    <message>
        <source>Idle</source>
        <translation>Ruhend</translation>
    </message>
    <message>
        <source>Disconnected</source>
        <translation>Getrennt</translation>
    </message>
    <message>
        <source>Slow to respond</source>
        <translation>Antwortet langsam</translation>
    </message>
    <message>
        <source>Read-only — can&apos;t ping</source>
        <translation>Schreibgeschützt — kein Ping möglich</translation>
    </message>
    <message>
        <source>Nearly full — paused</source>
        <translation>Fast voll — pausiert</translation>
    </message>
    <message>
        <source>Ping failed</source>
        <translation>Ping fehlgeschlagen</translation>
    </message>
</context>
<context>
    <name>vornix::TrayApplication</name>
    <message>
        <source>Open Vornix</source>
        <translation>Vornix öffnen</translation>
    </message>
    <message>
        <source>Quit</source>
        <translation>Beenden</translation>
    </message>
    <message>
        <source>Drives idle</source>
        <translation>Laufwerke ruhen</translation>
    </message>
    <message>
        <source>Drives awake — paused on battery</source>
        <translation>Laufwerke wach — im Akkubetrieb pausiert</translation>
    </message>
    <message>
        <source>Drives awake</source>
        <translation>Laufwerke wach</translation>
    </message>
    <message>
        <source>About Vornix</source>
        <translation>Über Vornix</translation>
    </message>
    <message>
        <source>Keeps external drives spinning and tells you when one disconnects unexpectedly.</source>
        <translation>Hält externe Laufwerke in Betrieb und meldet, wenn eines unerwartet getrennt wird.</translation>
    </message>
    <message>
        <source>Version %1</source>
        <translation>Version %1</translation>
    </message>
</context>
</TS>
