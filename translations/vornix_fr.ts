<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="fr">
<context>
    <name>vornix::DriveTroubleNotices</name>
    <message>
        <source>Drive not responding</source>
        <translation>Le disque ne répond pas</translation>
    </message>
    <message>
        <source>&quot;%1&quot; has not answered a keep-alive ping for %2 seconds.</source>
        <translation>« %1 » n’a répondu à aucun ping de maintien depuis %2 secondes.</translation>
    </message>
    <message>
        <source>Drive is read-only</source>
        <translation>Disque en lecture seule</translation>
    </message>
    <message>
        <source>&quot;%1&quot; is mounted read-only, so it cannot be kept awake.</source>
        <translation>« %1 » est monté en lecture seule et ne peut donc pas être gardé éveillé.</translation>
    </message>
    <message>
        <source>Keep-alive ping failed</source>
        <translation>Échec du ping de maintien</translation>
    </message>
    <message>
        <source>&quot;%1&quot; could not be pinged.</source>
        <translation>« %1 » n’a pas pu recevoir de ping.</translation>
    </message>
    <message>
        <source>&quot;%1&quot; could not be pinged: %2.</source>
        <translation>« %1 » n’a pas pu recevoir de ping : %2.</translation>
    </message>
    <message>
        <source>Drive nearly full</source>
        <translation>Disque presque plein</translation>
    </message>
    <message>
        <source>&quot;%1&quot; has less than %2 MB free; pings wait until space is freed.</source>
        <translation>« %1 » a moins de %2 Mo libres ; les pings attendent que de l’espace soit libéré.</translation>
    </message>
    <message>
        <source>Pings not reaching the drive</source>
        <translation>Les pings n’atteignent pas le disque</translation>
    </message>
    <message>
        <source>&quot;%1&quot; may still spin down: its I/O counters did not move on the last two pings, so the writes never reached the drive.</source>
        <translation>« %1 » peut tout de même se mettre en veille : ses compteurs I/O n’ont pas bougé lors des deux derniers pings, les écritures n’ont donc jamais atteint le disque.</translation>
    </message>
    <message>
        <source>Drive fell asleep</source>
        <translation>Le disque s’est endormi</translation>
    </message>
    <message>
        <source>&quot;%1&quot; went to sleep although it was pinged every %3 s. Choose a shorter ping interval, such as %2 s.</source>
        <translation>« %1 » s’est endormi alors qu’il recevait un ping toutes les %3 s. Choisissez un intervalle de ping plus court, par exemple %2 s.</translation>
    </message>
    <message>
        <source>&quot;%1&quot; went to sleep although it was pinged every %3 s: the drive&apos;s own firmware ignores the pings.</source>
        <translation>« %1 » s’est endormi alors qu’il recevait un ping toutes les %3 s : le micrologiciel du disque lui-même ignore les pings.</translation>
    </message>
    <message>
        <source>Drive reports that it is failing</source>
        <translation>Le disque signale une défaillance imminente</translation>
    </message>
    <message>
        <source>&quot;%1&quot; reports that it is failing: copy your data off it.</source>
        <translation>« %1 » signale une défaillance imminente : copiez vos données sur un autre support.</translation>
    </message>
</context>
<context>
    <name>vornix::EventLog</name>
    <message>
        <source>Drive disconnected unexpectedly</source>
        <translation>Disque déconnecté de façon inattendue</translation>
    </message>
    <message>
        <source>External drive</source>
        <translation>Disque externe</translation>
    </message>
    <message>
        <source>&quot;%1&quot; disappeared without being ejected. Check the cable/connection.</source>
        <translation>« %1 » a disparu sans avoir été éjecté. Vérifiez le câble ou la connexion.</translation>
    </message>
</context>
<context>
    <name>vornix::IdleInhibition</name>
    <message>
        <source>GNOME session</source>
        <translation>session GNOME</translation>
    </message>
    <message>
        <source>power manager</source>
        <translation>gestionnaire d’énergie</translation>
    </message>
    <message>
        <source>desktop portal</source>
        <translation>portail de bureau</translation>
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
        <translation>Monté</translation>
    </message>
    <message>
        <source>Ejected (user)</source>
        <translation>Éjecté (utilisateur)</translation>
    </message>
    <message>
        <source>Unexpected disconnect</source>
        <translation>Déconnexion inattendue</translation>
    </message>
    <message>
        <source>Keep-alive ping ok</source>
        <translation>Ping de maintien réussi</translation>
    </message>
    <message>
        <source>Keep-alive ping stalled</source>
        <translation>Ping de maintien bloqué</translation>
    </message>
    <message>
        <source>Keep-alive ping failed</source>
        <translation>Échec du ping de maintien</translation>
    </message>
    <message>
        <source>Volume read-only</source>
        <translation>Volume en lecture seule</translation>
    </message>
    <message>
        <source>Volume nearly full</source>
        <translation>Volume presque plein</translation>
    </message>
    <message>
        <source>Sleep prevention started</source>
        <translation>Prévention de la veille activée</translation>
    </message>
    <message>
        <source>Sleep prevention stopped</source>
        <translation>Prévention de la veille désactivée</translation>
    </message>
    <message>
        <source>Settings not saved</source>
        <translation>Réglages non enregistrés</translation>
    </message>
    <message>
        <source>Drive monitoring unavailable</source>
        <translation>Surveillance des disques indisponible</translation>
    </message>
    <message>
        <source>Notifications unavailable</source>
        <translation>Notifications indisponibles</translation>
    </message>
    <message>
        <source>Launch at Login not changed</source>
        <translation>« Lancer à l’ouverture de session » non modifié</translation>
    </message>
    <message>
        <source>Ping interval raised</source>
        <translation>Intervalle de ping augmenté</translation>
    </message>
    <message>
        <source>Sleep prevention unavailable</source>
        <translation>Prévention de la veille indisponible</translation>
    </message>
    <message>
        <source>Sleep prevention lost</source>
        <translation>Prévention de la veille perdue</translation>
    </message>
    <message>
        <source>Ping not reaching the drive</source>
        <translation>Le ping n’atteint pas le disque</translation>
    </message>
    <message>
        <source>Drive fell asleep</source>
        <translation>Disque endormi</translation>
    </message>
    <message>
        <source>Drive reports failure</source>
        <translation>Défaillance signalée par le disque</translation>
    </message>
</context>
<context>
    <name>vornix::Panel</name>
    <message>
        <source>Keep drives awake</source>
        <translation>Garder les disques éveillés</translation>
    </message>
    <message>
        <source>No external drives detected</source>
        <translation>Aucun disque externe détecté</translation>
    </message>
    <message>
        <source>Ping interval</source>
        <translation>Intervalle de ping</translation>
    </message>
    <message>
        <source>Pause on battery</source>
        <translation>Pause sur batterie</translation>
    </message>
    <message>
        <source>Notify about drive trouble</source>
        <translation>Signaler les problèmes de disque</translation>
    </message>
    <message>
        <source>Launch at Login</source>
        <translation>Lancer à l’ouverture de session</translation>
    </message>
    <message>
        <source>Recent activity</source>
        <translation>Activité récente</translation>
    </message>
    <message>
        <source>About Vornix</source>
        <translation>À propos de Vornix</translation>
    </message>
    <message>
        <source>Quit</source>
        <translation>Quitter</translation>
    </message>
    <message>
        <source>Active</source>
        <translation>Actif</translation>
    </message>
    <message>
        <source>Idle</source>
        <translation>Inactif</translation>
    </message>
    <message>
        <source>Disconnected</source>
        <translation>Déconnecté</translation>
    </message>
    <message>
        <source>Slow to respond</source>
        <translation>Lent à répondre</translation>
    </message>
    <message>
        <source>Read-only — can&apos;t ping</source>
        <translation>Lecture seule — ping impossible</translation>
    </message>
    <message>
        <source>Nearly full — paused</source>
        <translation>Presque plein — en pause</translation>
    </message>
    <message>
        <source>Ping failed</source>
        <translation>Échec du ping</translation>
    </message>
    <message>
        <source>Sleep prevented: %1</source>
        <translation>Veille empêchée : %1</translation>
    </message>
    <message>
        <source>Sleep prevention requested: %1 (not confirmed)</source>
        <translation>Prévention de la veille demandée : %1 (non confirmée)</translation>
    </message>
    <message>
        <source>The computer may still go to sleep: only logind keeps it awake, not the desktop.</source>
        <translation>L’ordinateur peut tout de même se mettre en veille : seul logind le maintient éveillé, pas l’environnement de bureau.</translation>
    </message>
    <message>
        <source>The computer may still go to sleep: nothing keeps it awake.</source>
        <translation>L’ordinateur peut tout de même se mettre en veille : rien ne le maintient éveillé.</translation>
    </message>
    <message>
        <source>Not reaching the drive</source>
        <translation>N’atteint pas le disque</translation>
    </message>
    <message>
        <source>Fell asleep</source>
        <translation>S’est endormi</translation>
    </message>
    <message>
        <source>spinning</source>
        <translation>en rotation</translation>
    </message>
    <message>
        <source>awake</source>
        <translation>éveillé</translation>
    </message>
    <message>
        <source>standby</source>
        <translation>en veille</translation>
    </message>
    <message>
        <source>asleep</source>
        <translation>endormi</translation>
    </message>
    <message>
        <source>%1 at %2</source>
        <translation>%1 à %2</translation>
    </message>
    <message>
        <source>Drive failing</source>
        <translation>Disque défaillant</translation>
    </message>
    <message>
        <source>The drive may still spin down: its I/O counters did not move on the last two pings, so the writes never reached it.</source>
        <translation>Le disque peut tout de même se mettre en veille : ses compteurs I/O n’ont pas bougé lors des deux derniers pings, les écritures ne l’ont donc jamais atteint.</translation>
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
        <translation>Carte SD</translation>
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
        <translation>Le disque s’est endormi entre deux pings alors qu’il était maintenu éveillé. Choisissez un intervalle de ping plus court ; s’il s’endort encore à 30 s, le micrologiciel du disque ignore les pings.</translation>
    </message>
    <message>
        <source>The drive&apos;s own health check (SMART) says it is failing: copy your data off it and replace it.</source>
        <translation>Le contrôle de santé du disque (SMART) signale une défaillance : copiez vos données ailleurs et remplacez-le.</translation>
    </message>
</context>
<context>
    <name>vornix::TrayApplication</name>
    <message>
        <source>Open Vornix</source>
        <translation>Ouvrir Vornix</translation>
    </message>
    <message>
        <source>Quit</source>
        <translation>Quitter</translation>
    </message>
    <message>
        <source>Drives idle</source>
        <translation>Disques au repos</translation>
    </message>
    <message>
        <source>Drives awake — paused on battery</source>
        <translation>Disques éveillés — en pause sur batterie</translation>
    </message>
    <message>
        <source>Drives awake</source>
        <translation>Disques éveillés</translation>
    </message>
    <message>
        <source>About Vornix</source>
        <translation>À propos de Vornix</translation>
    </message>
    <message>
        <source>Keeps external drives spinning and tells you when one disconnects unexpectedly.</source>
        <translation>Garde les disques externes en marche et vous prévient quand l’un d’eux se déconnecte de façon inattendue.</translation>
    </message>
    <message>
        <source>Version %1</source>
        <translation>Version %1</translation>
    </message>
    <message>
        <source>Keep drives awake</source>
        <translation>Garder les disques éveillés</translation>
    </message>
    <message>
        <source>Vornix — %1</source>
        <translation>Vornix — %1</translation>
    </message>
    <message>
        <source>Vornix is still running</source>
        <translation>Vornix continue de fonctionner</translation>
    </message>
    <message>
        <source>Vornix keeps your drives awake in the background.</source>
        <translation>Vornix garde vos disques éveillés en arrière-plan.</translation>
    </message>
    <message>
        <source>To bring its window back, start Vornix again from the application menu.</source>
        <translation>Pour rouvrir sa fenêtre, relancez Vornix depuis le menu des applications.</translation>
    </message>
</context>
</TS>
