<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de_DE">
<context>
    <name>updater::ReleaseNotesView</name>
    <message>
        <source>Release Notes</source>
        <translation>Versionshinweise</translation>
    </message>
</context>
<context>
    <name>updater::UpdateAlert</name>
    <message>
        <source>Software Update</source>
        <translation>Softwareaktualisierung</translation>
    </message>
    <message>
        <source>Release Notes:</source>
        <translation>Versionshinweise:</translation>
    </message>
    <message>
        <source>Loading release notes…</source>
        <translation>Versionshinweise werden geladen …</translation>
    </message>
    <message>
        <source>Skip This Version</source>
        <translation>Diese Version überspringen</translation>
    </message>
    <message>
        <source>Remind Me Later</source>
        <translation>Später erinnern</translation>
    </message>
    <message>
        <source>Install</source>
        <translation>Installieren</translation>
    </message>
    <message>
        <source>Learn More…</source>
        <translation>Mehr erfahren …</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Abbrechen</translation>
    </message>
    <message>
        <source>A new version of %1 is available!</source>
        <translation>Eine neue Version von %1 ist verfügbar!</translation>
    </message>
    <message>
        <source>It cannot be installed from here; learn more about it on the web.</source>
        <translation>Sie kann nicht von hier aus installiert werden; mehr darüber erfahren Sie im Web.</translation>
    </message>
    <message>
        <source>Would you like to install it now?</source>
        <translation>Möchten Sie sie jetzt installieren?</translation>
    </message>
    <message>
        <source>%1 %2 is now available—you have %3. %4</source>
        <extracomment>%1 the product, %2 the new version, %3 the installed version, %4 the question</extracomment>
        <translation>%1 %2 ist jetzt verfügbar – Sie haben %3. %4</translation>
    </message>
</context>
<context>
    <name>updater::UpdateRun</name>
    <message>
        <source>The release notes could not be loaded.</source>
        <translation>Die Versionshinweise konnten nicht geladen werden.</translation>
    </message>
    <message>
        <source>No release notes were published for this version.</source>
        <translation>Für diese Version wurden keine Versionshinweise veröffentlicht.</translation>
    </message>
    <message>
        <source>Downloading update (%1)…</source>
        <translation>Aktualisierung wird geladen (%1) …</translation>
    </message>
    <message>
        <source>Verifying update…</source>
        <translation>Aktualisierung wird überprüft …</translation>
    </message>
    <message>
        <source>Installing update…</source>
        <translation>Aktualisierung wird installiert …</translation>
    </message>
    <message>
        <source>Downloading update (%1) over a metered connection…</source>
        <translation>Aktualisierung wird über eine getaktete Verbindung geladen (%1) …</translation>
    </message>
</context>
<context>
    <name>updater::UpdateWindows</name>
    <message>
        <source>You’re up to date!</source>
        <translation>Sie sind auf dem neuesten Stand!</translation>
    </message>
    <message>
        <source>%1 %2 is currently the newest version available.</source>
        <translation>%1 %2 ist die neueste verfügbare Version.</translation>
    </message>
    <message>
        <source>OK</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>Update Error!</source>
        <translation>Aktualisierungsfehler!</translation>
    </message>
    <message>
        <source>The update could not be installed: %1</source>
        <translation>Die Aktualisierung konnte nicht installiert werden: %1</translation>
    </message>
</context>
</TS>
