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
</context>
</TS>
