"""`kubrel view FILE [-o out.html] [--serve]`: a build in 3D in the browser."""

import os

import click

from kubrel.cli.output import examples, file_error, load
from kubrel.cli.paths import in_place_option, refuse_overwrite


@click.command(
    epilog=examples(
        "kubrel view castle.schem -o castle.html",
        "kubrel view terrain.litematic --serve",
    )
)
@click.argument("file")
@click.option("-o", "--output", metavar="HTML", help="Where to write the page (default: FILE.html).")
@click.option(
    "--serve",
    is_flag=True,
    help="Serve the page and its data from a local address instead of writing a file "
    "(for builds too large to embed).",
)
@click.option("--port", type=int, default=0, show_default="any free port", help="With --serve.")
@in_place_option
def view(file, output, serve, port, in_place):
    """Writes FILE as one self-contained HTML page with a 3D view of the build."""
    volume = load(file)
    title = os.path.basename(file)
    if serve:
        from kubrel.view.serve import server

        httpd = server(volume, title, port)
        host, bound = httpd.server_address[:2]
        click.echo(f"http://{host}:{bound}/", err=False)
        try:
            httpd.serve_forever()
        except KeyboardInterrupt:
            pass
        finally:
            httpd.server_close()
        return
    output = output or f"{file}.html"
    refuse_overwrite([output], [file], in_place)
    try:
        with open(output, "w", encoding="utf-8") as out:
            out.write(volume.view(title))
    except OSError as error:
        raise file_error(output, error) from None
    click.echo(output)
