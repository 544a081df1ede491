<!DOCTYPE html>
<html>
<head>
<meta charset="utf-8">
<title>Zelvan</title>
<!-- The launcher replaces this first sheet with its progress rule. -->
<style>#progress{ width: 0%;}</style>
<style>
body { margin: 0; background: #0e1629; color: #e8ecf8; font: 14px sans-serif; overflow: hidden; }
#news { position: absolute; left: 24px; top: 20px; width: 500px; }
#news h1 { font-size: 24px; margin: 0 0 10px; color: #f0c040; }
#side { position: absolute; right: 24px; top: 20px; width: 220px; text-align: right; }
#bottom { position: absolute; left: 24px; right: 24px; bottom: 24px; }
#progress_frame { height: 18px; border: 1px solid #5b6b99; background: #1a2440; margin: 8px 0; }
#progress { height: 100%; background: linear-gradient(#58d68d, #239b56); }
/* The reconnect or play button stands at the right: texts keep clear of it. */
#state { min-height: 18px; margin-right: 200px; }
#download_bytes { color: #aab4d4; }
#release { color: #f0c040; margin-top: 10px; }
#release_notes { font-size: 12px; color: #aab4d4; max-height: 120px; overflow: auto; }
#repair { position: absolute; right: 24px; top: 120px; color: #aab4d4; }
#download_rate, #time_remaining { display: inline-block; min-width: 200px; color: #aab4d4; }
#play_button_bg { position: absolute; right: 0; bottom: 40px; }
#select_list_bg select { position: absolute; right: 0; top: 60px; width: 200px; display: none; }
#select_bg input { width: 200px; }
</style>
<script>
function switch_list_control() {
    var l = document.getElementById('select_list');
    if (l) l.style.display = (l.style.display == 'block') ? 'none' : 'block';
}
function hide_list_control() {
    var l = document.getElementById('select_list');
    if (l) l.style.display = 'none';
}
</script>
</head>
<body>
<div id="news">
<h1>Zelvan</h1>
<p>Welcome to the Zelvan demo realm. The launcher brings your installation up to date and then lets you play.</p>
<p><a href="https://example.org/">Project site</a></p>
<div id="release"></div>
<div id="release_notes"></div>
</div>
<div id="side">
<div id="languages"></div>
<div id="select_bg"></div>
<div id="select_list_bg"></div>
</div>
<a id="repair" href="launcher://repair">Verify and repair</a>
<div id="bottom">
<div id="play_button_bg"></div>
<div id="state"></div>
<div id="progress_frame"><div id="progress"></div></div>
<span id="download_rate"></span><span id="time_remaining"></span><span id="download_bytes"></span>
</div>
</body>
</html>
