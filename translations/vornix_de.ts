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
    <message>
        <source>Pings not reaching the drive</source>
        <translation>Pings erreichen das Laufwerk nicht</translation>
    </message>
    <message>
        <source>&quot;%1&quot; may still spin down: its I/O counters did not move on the last two pings, so the writes never reached the drive.</source>
        <translation>„%1“ kann trotzdem in den Ruhezustand wechseln: Die I/O-Zähler haben sich bei den letzten beiden Pings nicht bewegt, die Schreibvorgänge haben das Laufwerk also nie erreicht.</translation>
    </message>
    <message>
        <source>Drive fell asleep</source>
        <translation>Laufwerk ist eingeschlafen</translation>
    </message>
    <message>
        <source>&quot;%1&quot; went to sleep although it was pinged every %3 s. Choose a shorter ping interval, such as %2 s.</source>
        <translation>„%1“ ist eingeschlafen, obwohl alle %3 s ein Ping gesendet wurde. Wählen Sie ein kürzeres Ping-Intervall, etwa %2 s.</translation>
    </message>
    <message>
        <source>&quot;%1&quot; went to sleep although it was pinged every %3 s: the drive&apos;s own firmware ignores the pings.</source>
        <translation>„%1“ ist eingeschlafen, obwohl alle %3 s ein Ping gesendet wurde: Die Firmware des Laufwerks ignoriert die Pings.</translation>
    </message>
    <message>
        <source>Drive reports that it is failing</source>
        <translation>Laufwerk meldet drohenden Ausfall</translation>
    </message>
    <message>
        <source>&quot;%1&quot; reports that it is failing: copy your data off it.</source>
        <translation>„%1“ meldet einen drohenden Ausfall: Kopieren Sie Ihre Daten umgehend auf ein anderes Laufwerk.</translation>
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
    <name>vornix::IdleInhibition</name>
    <message>
        <source>GNOME session</source>
        <translation>GNOME-Sitzung</translation>
    </message>
    <message>
        <source>power manager</source>
        <translation>Energieverwaltung</translation>
    </message>
    <message>
        <source>desktop portal</source>
        <translation>Desktop-Portal</translation>
    </message>
    <message>
        <source>logind</source>
        <translation>logind</translation>
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
    <message>
        <source>Drive monitoring unavailable</source>
        <translation>Laufwerksüberwachung nicht verfügbar</translation>
    </message>
    <message>
        <source>Notifications unavailable</source>
        <translation>Benachrichtigungen nicht verfügbar</translation>
    </message>
    <message>
        <source>Launch at Login not changed</source>
        <translation>„Bei Anmeldung starten“ nicht geändert</translation>
    </message>
    <message>
        <source>Ping interval raised</source>
        <translation>Ping-Intervall erhöht</translation>
    </message>
    <message>
        <source>Sleep prevention unavailable</source>
        <translation>Ruhezustand-Verhinderung nicht verfügbar</translation>
    </message>
    <message>
        <source>Sleep prevention lost</source>
        <translation>Ruhezustand-Verhinderung verloren</translation>
    </message>
    <message>
        <source>Ping not reaching the drive</source>
        <translation>Ping erreicht das Laufwerk nicht</translation>
    </message>
    <message>
        <source>Drive fell asleep</source>
        <translation>Laufwerk eingeschlafen</translation>
    </message>
    <message>
        <source>Drive reports failure</source>
        <translation>Laufwerk meldet drohenden Ausfall</translation>
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
    <message>
        <source>Sleep prevented: %1</source>
        <translation>Ruhezustand verhindert: %1</translation>
    </message>
    <message>
        <source>Sleep prevention requested: %1 (not confirmed)</source>
        <translation>Ruhezustand-Verhinderung angefordert: %1 (nicht bestätigt)</translation>
    </message>
    <message>
        <source>The computer may still go to sleep: only logind keeps it awake, not the desktop.</source>
        <translation>Der Computer kann trotzdem in den Ruhezustand wechseln: Nur logind hält ihn wach, nicht die Desktop-Umgebung.</translation>
    </message>
    <message>
        <source>The computer may still go to sleep: nothing keeps it awake.</source>
        <translation>Der Computer kann trotzdem in den Ruhezustand wechseln: Nichts hält ihn wach.</translation>
    </message>
    <message>
        <source>Not reaching the drive</source>
        <translation>Erreicht Laufwerk nicht</translation>
    </message>
    <message>
        <source>Fell asleep</source>
        <translation>Eingeschlafen</translation>
    </message>
    <message>
        <source>spinning</source>
        <translation>dreht</translation>
    </message>
    <message>
        <source>awake</source>
        <translation>wach</translation>
    </message>
    <message>
        <source>standby</source>
        <translation>Standby</translation>
    </message>
    <message>
        <source>asleep</source>
        <translation>schläft</translation>
    </message>
    <message>
        <source>%1 at %2</source>
        <translation>%1, Stand %2</translation>
    </message>
    <message>
        <source>Drive failing</source>
        <translation>Ausfall droht</translation>
    </message>
    <message>
        <source>The drive may still spin down: its I/O counters did not move on the last two pings, so the writes never reached it.</source>
        <translation>Das Laufwerk kann trotzdem in den Ruhezustand wechseln: Die I/O-Zähler haben sich bei den letzten beiden Pings nicht bewegt, die Schreibvorgänge haben es also nie erreicht.</translation>
    </message>
    <message>
        <source>USB</source>
        <translation>USB</translation>
    </message>
    <message>
        <source>Thunderbolt</source>
        <translation>Thunderbolt</translation>
    </message>
    <message>
        <source>FireWire</source>
        <translation>FireWire</translation>
    </message>
    <message>
        <source>SD Card</source>
        <translation>SD-Karte</translation>
    </message>
    <message>
        <source>SATA</source>
        <translation>SATA</translation>
    </message>
    <message>
        <source>NVMe</source>
        <translation>NVMe</translation>
    </message>
    <message>
        <source>SCSI</source>
        <translation>SCSI</translation>
    </message>
    <message>
        <source>Virtio</source>
        <translation>Virtio</translation>
    </message>
    <message>
        <source>The drive went to sleep between two pings although it was kept awake. Choose a shorter ping interval; if it still falls asleep at 30 s, the drive&apos;s own firmware ignores the pings.</source>
        <translation>Das Laufwerk ist zwischen zwei Pings eingeschlafen, obwohl es wach gehalten wurde. Wählen Sie ein kürzeres Ping-Intervall; schläft es auch bei 30 s ein, ignoriert die Firmware des Laufwerks die Pings.</translation>
    </message>
    <message>
        <source>The drive&apos;s own health check (SMART) says it is failing: copy your data off it and replace it.</source>
        <translation>Die eigene Zustandsprüfung des Laufwerks (SMART) meldet einen drohenden Ausfall: Kopieren Sie Ihre Daten auf ein anderes Laufwerk und ersetzen Sie es.</translation>
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
    <message>
        <source>Keep drives awake</source>
        <translation>Laufwerke wach halten</translation>
    </message>
    <message>
        <source>Vornix — %1</source>
        <translation>Vornix — %1</translation>
    </message>
    <message>
        <source>Vornix is still running</source>
        <translation>Vornix läuft weiter</translation>
    </message>
    <message>
        <source>Vornix keeps your drives awake in the background.</source>
        <translation>Vornix hält die Laufwerke im Hintergrund wach.</translation>
    </message>
    <message>
        <source>To bring its window back, start Vornix again from the application menu.</source>
        <translation>Um das Fenster wieder anzuzeigen, starten Sie Vornix erneut über das Anwendungsmenü.</translation>
    </message>
</context>
</TS>
