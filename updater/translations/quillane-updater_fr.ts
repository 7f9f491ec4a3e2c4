<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="fr_FR">
<context>
    <name>updater::ReleaseNotesView</name>
    <message>
        <source>Release Notes</source>
        <translation>Notes de version</translation>
    </message>
</context>
<context>
    <name>updater::UpdateAlert</name>
    <message>
        <source>Software Update</source>
        <translation>Mise à jour de logiciels</translation>
    </message>
    <message>
        <source>Release Notes:</source>
        <translation>Notes de version&#xa0;:</translation>
    </message>
    <message>
        <source>Loading release notes…</source>
        <translation>Chargement des notes de version…</translation>
    </message>
    <message>
        <source>Skip This Version</source>
        <translation>Ignorer cette version</translation>
    </message>
    <message>
        <source>Remind Me Later</source>
        <translation>Me le rappeler plus tard</translation>
    </message>
    <message>
        <source>Install</source>
        <translation>Installer</translation>
    </message>
    <message>
        <source>Learn More…</source>
        <translation>En savoir plus…</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Annuler</translation>
    </message>
    <message>
        <source>A new version of %1 is available!</source>
        <translation>Une nouvelle version de %1 est disponible&#xa0;!</translation>
    </message>
    <message>
        <source>It cannot be installed from here; learn more about it on the web.</source>
        <translation>Elle ne peut pas être installée d’ici&#xa0;; découvrez-la sur le Web.</translation>
    </message>
    <message>
        <source>Would you like to install it now?</source>
        <translation>Voulez-vous l’installer maintenant&#xa0;?</translation>
    </message>
    <message>
        <source>%1 %2 is now available—you have %3. %4</source>
        <extracomment>%1 the product, %2 the new version, %3 the installed version, %4 the question</extracomment>
        <translation>%1 %2 est disponible — vous avez la version %3. %4</translation>
    </message>
</context>
<context>
    <name>updater::UpdateRun</name>
    <message>
        <source>The release notes could not be loaded.</source>
        <translation>Impossible de charger les notes de version.</translation>
    </message>
    <message>
        <source>No release notes were published for this version.</source>
        <translation>Aucune note de version n’a été publiée pour cette version.</translation>
    </message>
    <message>
        <source>Downloading update (%1)…</source>
        <translation>Téléchargement de la mise à jour (%1)…</translation>
    </message>
    <message>
        <source>Verifying update…</source>
        <translation>Vérification de la mise à jour…</translation>
    </message>
    <message>
        <source>Installing update…</source>
        <translation>Installation de la mise à jour…</translation>
    </message>
    <message>
        <source>Downloading update (%1) over a metered connection…</source>
        <translation>Téléchargement de la mise à jour (%1) sur une connexion limitée…</translation>
    </message>
</context>
<context>
    <name>updater::UpdateWindows</name>
    <message>
        <source>You’re up to date!</source>
        <translation>Vous êtes à jour&#xa0;!</translation>
    </message>
    <message>
        <source>%1 %2 is currently the newest version available.</source>
        <translation>%1 %2 est actuellement la version la plus récente.</translation>
    </message>
    <message>
        <source>OK</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>Update Error!</source>
        <translation>Erreur de mise à jour&#xa0;!</translation>
    </message>
    <message>
        <source>The update could not be installed: %1</source>
        <translation>Impossible d’installer la mise à jour&#xa0;: %1</translation>
    </message>
</context>
</TS>
