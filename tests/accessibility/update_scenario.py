"""The update prompt as a screen reader user meets it: the offer with its release notes as
a named document, its buttons, Install pressed through AT-SPI, and the progress bar.
    update_scenario.py <language: C, de or fr> <release notes text>"""
import sys

from atspi_client import Checks, Client, dump, find, find_all, press, showing
from gi.repository import Atspi

TEXTS = {
    "C": dict(title="Software Update", heading="A new version of Quillane is available!",
              install="Install", remind="Remind Me Later", skip="Skip This Version",
              notes="Release Notes"),
    "de": dict(title="Softwareaktualisierung", heading="Eine neue Version von Quillane ist verfügbar!",
               install="Installieren", remind="Später erinnern", skip="Diese Version überspringen",
               notes="Versionshinweise"),
    "fr": dict(title="Mise à jour de logiciels",
               heading="Une nouvelle version de Quillane est disponible\u00a0!",
               install="Installer", remind="Me le rappeler plus tard", skip="Ignorer cette version",
               notes="Notes de version"),
}


def main(language, notes_text):
    texts = TEXTS[language]
    client = Client()
    checks = Checks()
    app = client.application("QuillaneUpdateAgent")

    def offer():
        return next((w for w in find_all(app, "dialog", texts["title"]) if showing(w)), None)
    try:
        window = client.wait(offer, 30, "the update window")
    except AssertionError:
        dump(app)
        raise
    checks.expect(f"the window is a dialog named \"{texts['title']}\"", True)
    checks.expect("the offer's heading is read", find(window, "label", texts["heading"]) is not None)

    buttons = {key: find(window, "push button", texts[key]) for key in ("install", "remind", "skip")}
    for key, button in buttons.items():
        checks.expect(f"a \"{texts[key]}\" push button", button is not None)
    install = buttons["install"]
    if install is not None:
        checks.expect("Install is the default button (Return)",
                      install.get_state_set().contains(Atspi.StateType.IS_DEFAULT))

    def notes_loaded():
        document = find(window, "document frame", texts["notes"])
        if document is None:
            return None
        if "Text" not in document.get_interfaces():
            return None
        return document if notes_text in Atspi.Text.get_text(document, 0, -1) else None
    try:
        document = client.wait(notes_loaded, 20, "the release notes as a document")
    except AssertionError:
        document = None
        dump(window)
    checks.expect(f"the release notes are a document named \"{texts['notes']}\" whose text is read",
                  document is not None)

    bars = find_all(window, "progress bar")
    checks.expect("the progress is a progress bar with a value",
                  len(bars) == 1 and "Value" in bars[0].get_interfaces())
    if install is None:
        return 1
    press(install)
    # The download is on this machine and quick; the bar is read while it is on screen.
    seen = set()
    for _ in range(100):
        try:
            if bars and showing(bars[0]):
                bar = bars[0]
                seen.add((bar.get_name(), Atspi.Value.get_current_value(bar),
                          Atspi.Value.get_maximum_value(bar)))
        except Exception:  # noqa: BLE001 - the window closes when the installation ends
            break
        client.pump(0.05)
    print("     progress read:", sorted(seen))
    checks.expect("the shown progress bar is named by its status", all(name for name, _, _ in seen))
    return 1 if checks.failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2]))
